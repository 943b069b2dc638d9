// SPDX-License-Identifier: BSD-2-Clause-Patent
// Formatted output into a caller's buffer. Re-entrant: no state outside the
// caller's stack and buffer, so it is safe from any TPL and from notify
// functions that interrupt another print.
#include <Library/PrintLib.h>

namespace {

// Where the characters go. Limit leaves room for the terminating NUL.
struct PRINT_OUTPUT {
  CHAR8 *Buffer;
  UINTN Limit;
  UINTN Count;
};

struct FIELD_FORMAT {
  BOOLEAN LeftJustify;
  BOOLEAN ZeroFill;
  BOOLEAN HasPrecision;
  BOOLEAN Is64Bit;
  UINTN Width;
  UINTN Precision;
};

CONST CHAR8 mNullString[] = "<null string>";
CONST CHAR8 mNullGuid[] = "<null guid>";
CONST CHAR8 mUpperHex[] = "0123456789ABCDEF";
CONST CHAR8 mLowerHex[] = "0123456789abcdef";

// Indexed by the warning code; 0 is success.
CONST CHAR8 *CONST mWarningNames[] = {
    "Success",
    "Warning Unknown Glyph",
    "Warning Delete Failure",
    "Warning Write Failure",
    "Warning Buffer Too Small",
    "Warning Stale Data",
};

// Indexed by the error code without its top bit, starting at 1.
CONST CHAR8 *CONST mErrorNames[] = {
    "Load Error",           "Invalid Parameter",  "Unsupported",
    "Bad Buffer Size",      "Buffer Too Small",   "Not Ready",
    "Device Error",         "Write Protected",    "Out of Resources",
    "Volume Corrupt",       "Volume Full",        "No Media",
    "Media changed",        "Not Found",          "Access Denied",
    "No Response",          "No mapping",         "Time out",
    "Not started",          "Already started",    "Aborted",
    "ICMP Error",           "TFTP Error",         "Protocol Error",
    "Incompatible Version", "Security Violation", "CRC Error",
    "End of Media",         "Reserved (29)",      "Reserved (30)",
    "End of File",          "Invalid Language",   "Compromised Data",
};

BOOLEAN IsFull(CONST PRINT_OUTPUT &Output) {
  return Output.Count >= Output.Limit;
}

VOID PutChar(PRINT_OUTPUT &Output, CHAR8 Character) {
  if (Output.Count < Output.Limit) {
    Output.Buffer[Output.Count++] = Character;
  }
}

// Stops as soon as the buffer is full so that a huge width costs nothing.
VOID PutRepeated(PRINT_OUTPUT &Output, CHAR8 Character, UINTN Count) {
  for (UINTN Index = 0; Index < Count && !IsFull(Output); Index++) {
    PutChar(Output, Character);
  }
}

UINTN PaddingFor(UINTN Length, UINTN Width) {
  return (Width > Length) ? Width - Length : 0;
}

template <typename CHAR_TYPE> UINTN TextLength(CONST CHAR_TYPE *Text, CONST FIELD_FORMAT &Format) {
  UINTN Length = 0;
  while (Text[Length] != 0 && (!Format.HasPrecision || Length < Format.Precision)) {
    Length++;
  }
  return Length;
}

// Wide text keeps only the low byte of each unit; the output is ASCII.
template <typename CHAR_TYPE>
VOID PutText(PRINT_OUTPUT &Output, CONST CHAR_TYPE *Text, UINTN Length, CONST FIELD_FORMAT &Format) {
  UINTN Padding = PaddingFor(Length, Format.Width);
  if (!Format.LeftJustify) {
    PutRepeated(Output, ' ', Padding);
  }
  for (UINTN Index = 0; Index < Length && !IsFull(Output); Index++) {
    PutChar(Output, (CHAR8)(Text[Index] & 0xFF));
  }
  if (Format.LeftJustify) {
    PutRepeated(Output, ' ', Padding);
  }
}

template <typename CHAR_TYPE>
VOID PutString(PRINT_OUTPUT &Output, CONST CHAR_TYPE *Text, CONST FIELD_FORMAT &Format) {
  if (Text == nullptr) {
    PutText(Output, mNullString, sizeof(mNullString) - 1, Format);
    return;
  }
  PutText(Output, Text, TextLength(Text, Format), Format);
}

// Fixed-width hexadecimal, most significant digit first.
VOID WriteHex(CHAR8 *Destination, UINT64 Value, UINTN Digits) {
  for (UINTN Index = Digits; Index > 0; Index--) {
    Destination[Index - 1] = mUpperHex[Value & 0xF];
    Value >>= 4;
  }
}

VOID PutNumber(PRINT_OUTPUT &Output, UINT64 Magnitude, BOOLEAN Negative, UINT32 Base, BOOLEAN UpperCase,
               CONST FIELD_FORMAT &Format) {
  CONST CHAR8 *DigitSet = UpperCase ? mUpperHex : mLowerHex;
  CHAR8 Digits[24];
  UINTN DigitCount = 0;
  do {
    Digits[DigitCount++] = DigitSet[Magnitude % Base];
    Magnitude /= Base;
  } while (Magnitude != 0);

  UINTN Precision = Format.HasPrecision ? Format.Precision : 0;
  UINTN LeadingZeros = PaddingFor(DigitCount, Precision);
  UINTN Length = (Negative ? 1 : 0) + LeadingZeros + DigitCount;
  UINTN Padding = PaddingFor(Length, Format.Width);

  // Zero fill goes between the sign and the digits; an explicit precision
  // or left justification asks for spaces instead.
  if (Format.ZeroFill && !Format.LeftJustify && !Format.HasPrecision) {
    LeadingZeros += Padding;
    Padding = 0;
  }
  if (!Format.LeftJustify) {
    PutRepeated(Output, ' ', Padding);
  }
  if (Negative) {
    PutChar(Output, '-');
  }
  PutRepeated(Output, '0', LeadingZeros);
  while (DigitCount > 0 && !IsFull(Output)) {
    PutChar(Output, Digits[--DigitCount]);
  }
  if (Format.LeftJustify) {
    PutRepeated(Output, ' ', Padding);
  }
}

VOID PutGuid(PRINT_OUTPUT &Output, CONST GUID *Guid, CONST FIELD_FORMAT &Format) {
  if (Guid == nullptr) {
    PutText(Output, mNullGuid, sizeof(mNullGuid) - 1, Format);
    return;
  }
  CHAR8 Text[36];
  WriteHex(&Text[0], Guid->Data1, 8);
  Text[8] = '-';
  WriteHex(&Text[9], Guid->Data2, 4);
  Text[13] = '-';
  WriteHex(&Text[14], Guid->Data3, 4);
  Text[18] = '-';
  WriteHex(&Text[19], Guid->Data4[0], 2);
  WriteHex(&Text[21], Guid->Data4[1], 2);
  Text[23] = '-';
  for (UINTN Index = 0; Index < 6; Index++) {
    WriteHex(&Text[24 + 2 * Index], Guid->Data4[2 + Index], 2);
  }
  PutText(Output, Text, sizeof(Text), Format);
}

VOID PutStatus(PRINT_OUTPUT &Output, RETURN_STATUS Status, CONST FIELD_FORMAT &Format) {
  CONST CHAR8 *Name = nullptr;
  if ((Status & MAX_BIT) != 0) {
    UINTN Code = Status & ~MAX_BIT;
    if (Code >= 1 && Code <= ARRAY_SIZE(mErrorNames)) {
      Name = mErrorNames[Code - 1];
    }
  } else if (Status < ARRAY_SIZE(mWarningNames)) {
    Name = mWarningNames[Status];
  }
  if (Name != nullptr) {
    PutString(Output, Name, Format);
    return;
  }
  CHAR8 Text[8];
  WriteHex(Text, (UINT32)Status, sizeof(Text));
  PutText(Output, Text, sizeof(Text), Format);
}

BOOLEAN IsDigit(CHAR8 Character) {
  return Character >= '0' && Character <= '9';
}

// Saturates rather than wrapping, so a silly width cannot become a small one.
UINTN AppendDigit(UINTN Value, CHAR8 Digit) {
  UINTN Next = Value * 10 + (UINTN)(Digit - '0');
  return (Value > (MAX_UINTN - 9) / 10) ? MAX_UINTN : Next;
}

} // namespace

UINTN EFIAPI AsciiVSPrint(OUT CHAR8 *StartOfBuffer, IN UINTN BufferSize, IN CONST CHAR8 *FormatString,
                          IN VA_LIST Marker) {
  if (StartOfBuffer == nullptr || BufferSize == 0 || FormatString == nullptr) {
    return 0;
  }

  PRINT_OUTPUT Output = {StartOfBuffer, BufferSize - 1, 0};
  CONST CHAR8 *Cursor = FormatString;

  while (*Cursor != '\0' && !IsFull(Output)) {
    // Line ends in the format go out as CR LF whichever order they were
    // written in; text from arguments is left alone.
    if (*Cursor == '\n' || *Cursor == '\r') {
      CHAR8 First = *Cursor++;
      BOOLEAN Pair = (*Cursor == ((First == '\n') ? '\r' : '\n'));
      if (Pair) {
        Cursor++;
      }
      PutChar(Output, '\r');
      if (First == '\n' || Pair) {
        PutChar(Output, '\n');
      }
      continue;
    }
    if (*Cursor != '%') {
      PutChar(Output, *Cursor++);
      continue;
    }

    Cursor++;
    FIELD_FORMAT Format = {FALSE, FALSE, FALSE, FALSE, 0, 0};
    for (;;) {
      if (*Cursor == '-') {
        Format.LeftJustify = TRUE;
      } else if (*Cursor == '0') {
        Format.ZeroFill = TRUE;
      } else if (IsDigit(*Cursor)) {
        Format.Width = 0;
        while (IsDigit(*Cursor)) {
          Format.Width = AppendDigit(Format.Width, *Cursor++);
        }
        continue;
      } else if (*Cursor == '*') {
        // A negative width means left justification, as in C.
        INT32 Width = (INT32)VA_ARG(Marker, UINT32);
        if (Width < 0) {
          Format.LeftJustify = TRUE;
          Format.Width = (UINTN)(0 - (INT64)Width);
        } else {
          Format.Width = (UINTN)Width;
        }
      } else if (*Cursor == '.') {
        Format.HasPrecision = TRUE;
        Format.Precision = 0;
        Cursor++;
        if (*Cursor == '*') {
          INT32 Precision = (INT32)VA_ARG(Marker, UINT32);
          Format.HasPrecision = Precision >= 0;
          Format.Precision = Format.HasPrecision ? (UINTN)Precision : 0;
          Cursor++;
        } else {
          while (IsDigit(*Cursor)) {
            Format.Precision = AppendDigit(Format.Precision, *Cursor++);
          }
        }
        continue;
      } else if (*Cursor == 'l' || *Cursor == 'L') {
        Format.Is64Bit = TRUE;
      } else {
        break;
      }
      Cursor++;
    }

    CHAR8 Conversion = *Cursor;
    if (Conversion == '\0') {
      break;
    }
    Cursor++;

    // Small arguments sit in full slots whose upper half is not defined, so
    // 32-bit conversions read the slot and keep only its low half.
    switch (Conversion) {
    case 'a':
      PutString(Output, VA_ARG(Marker, CONST CHAR8 *), Format);
      break;
    case 's':
      PutString(Output, VA_ARG(Marker, CONST CHAR16 *), Format);
      break;
    case 'c': {
      CHAR8 Character = (CHAR8)(VA_ARG(Marker, UINTN) & 0xFF);
      PutText(Output, &Character, 1, Format);
      break;
    }
    case 'd':
    case 'i': {
      INT64 Value = Format.Is64Bit ? VA_ARG(Marker, INT64) : (INT64)VA_ARG(Marker, INT32);
      // Negating in unsigned arithmetic keeps the most negative value exact.
      UINT64 Magnitude = (Value < 0) ? 0 - (UINT64)Value : (UINT64)Value;
      PutNumber(Output, Magnitude, Value < 0, 10, FALSE, Format);
      break;
    }
    case 'u':
    case 'x':
    case 'X': {
      UINT64 Value = Format.Is64Bit ? VA_ARG(Marker, UINT64) : (UINT64)VA_ARG(Marker, UINT32);
      PutNumber(Output, Value, FALSE, (Conversion == 'u') ? 10 : 16, Conversion == 'X', Format);
      break;
    }
    case 'p': {
      CHAR8 Text[16];
      WriteHex(Text, (UINTN)VA_ARG(Marker, CONST VOID *), sizeof(Text));
      PutText(Output, Text, sizeof(Text), Format);
      break;
    }
    case 'g':
      PutGuid(Output, VA_ARG(Marker, CONST GUID *), Format);
      break;
    case 'r':
      PutStatus(Output, VA_ARG(Marker, RETURN_STATUS), Format);
      break;
    default:
      // '%%' lands here too; anything unknown is shown rather than guessed at.
      PutChar(Output, Conversion);
      break;
    }
  }

  StartOfBuffer[Output.Count] = '\0';
  return Output.Count;
}

UINTN EFIAPI AsciiSPrint(OUT CHAR8 *StartOfBuffer, IN UINTN BufferSize, IN CONST CHAR8 *FormatString, ...) {
  VA_LIST Marker;
  VA_START(Marker, FormatString);
  UINTN Count = AsciiVSPrint(StartOfBuffer, BufferSize, FormatString, Marker);
  VA_END(Marker);
  return Count;
}
