// SPDX-License-Identifier: BSD-2-Clause-Patent
// Host tests of the firmware's formatted print into a caller's buffer.
#include <Uefi.h>
#include <Library/PrintLib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr unsigned char kGuard = 0xA5;
constexpr UINTN kBufferSize = 512;
constexpr UINTN kGuardSize = 16;

// Prints into a guarded buffer and checks the invariants every call must
// keep: NUL at the returned count, nothing written past the given size.
template <typename... ARGS> std::string PrintInto(UINTN BufferSize, const char *Format, ARGS... Args) {
  unsigned char Storage[kBufferSize + kGuardSize];
  std::memset(Storage, kGuard, sizeof(Storage));
  CHAR8 *Buffer = reinterpret_cast<CHAR8 *>(Storage);

  UINTN Count = AsciiSPrint(Buffer, BufferSize, Format, Args...);

  EXPECT_LT(Count, BufferSize);
  EXPECT_EQ(Buffer[Count], '\0');
  EXPECT_EQ(Count, std::strlen(Buffer));
  for (UINTN Index = BufferSize; Index < sizeof(Storage); Index++) {
    EXPECT_EQ(Storage[Index], kGuard) << "byte " << Index << " written past the buffer";
  }
  return std::string(Buffer, Count);
}

template <typename... ARGS> std::string Print(const char *Format, ARGS... Args) {
  return PrintInto(kBufferSize, Format, Args...);
}

// The form other images use: a VA_LIST built in one EFIAPI frame and
// walked by the print routine.
UINTN EFIAPI ForwardPrint(CHAR8 *Buffer, UINTN BufferSize, const CHAR8 *Format, ...) {
  VA_LIST Marker;
  VA_START(Marker, Format);
  UINTN Count = AsciiVSPrint(Buffer, BufferSize, Format, Marker);
  VA_END(Marker);
  return Count;
}

std::string WithCrLf(const std::string &Text) {
  std::string Result;
  for (char Character : Text) {
    if (Character == '\n') {
      Result += '\r';
    }
    Result += Character;
  }
  return Result;
}

} // namespace

TEST(PrintLibStrings, AsciiStringIsCopied) {
  EXPECT_EQ(Print("[%a]", "hello"), "[hello]");
  EXPECT_EQ(Print("%a%a", "ab", "cd"), "abcd");
  EXPECT_EQ(Print("%a", ""), "");
}

TEST(PrintLibStrings, NullStringsArePrintedAsMarker) {
  EXPECT_EQ(Print("%a", static_cast<const CHAR8 *>(nullptr)), "<null string>");
  EXPECT_EQ(Print("%s", static_cast<const CHAR16 *>(nullptr)), "<null string>");
}

TEST(PrintLibStrings, WideStringKeepsLowByte) {
  EXPECT_EQ(Print("%s", u"wide"), "wide");
  // U+0141 and U+0262 reduce to 'A' and 'b'.
  EXPECT_EQ(Print("%s", u"\u0141\u0262"), "Ab");
}

TEST(PrintLibStrings, WidthAndJustification) {
  EXPECT_EQ(Print("[%-4a]", "ab"), "[ab  ]");
  EXPECT_EQ(Print("[%4a]", "ab"), "[  ab]");
  EXPECT_EQ(Print("[%2a]", "abcd"), "[abcd]");
  EXPECT_EQ(Print("[%*a]", 5, "ab"), "[   ab]");
  EXPECT_EQ(Print("[%*a]", -5, "ab"), "[ab   ]");
  EXPECT_EQ(Print("[%6s]", u"ab"), "[    ab]");
}

TEST(PrintLibStrings, PrecisionLimitsLength) {
  EXPECT_EQ(Print("%.3a", "abcdef"), "abc");
  EXPECT_EQ(Print("%.*a|", 2, "abcdef"), "ab|");
  EXPECT_EQ(Print("%.10a|", "abc"), "abc|");
  EXPECT_EQ(Print("%.2s", u"wide"), "wi");
}

TEST(PrintLibStrings, CharacterTakesLowByteOfSlot) {
  EXPECT_EQ(Print("%c%c%c", 'x', 'y', 'z'), "xyz");
  EXPECT_EQ(Print("%c", static_cast<UINT64>(0xFFFFFF41)), "A");
  EXPECT_EQ(Print("[%3c]", 'q'), "[  q]");
}

TEST(PrintLibDecimal, SignedValues) {
  EXPECT_EQ(Print("%d", 0), "0");
  EXPECT_EQ(Print("%d", 42), "42");
  EXPECT_EQ(Print("%d", -42), "-42");
  EXPECT_EQ(Print("%i", -7), "-7");
  EXPECT_EQ(Print("%d", static_cast<INT32>(0x7FFFFFFF)), "2147483647");
  EXPECT_EQ(Print("%d", static_cast<INT32>(-2147483647 - 1)), "-2147483648");
}

TEST(PrintLibDecimal, ThirtyTwoBitConversionIgnoresUpperHalfOfSlot) {
  EXPECT_EQ(Print("%d", static_cast<UINT64>(0x12345678FFFFFFFEULL)), "-2");
  EXPECT_EQ(Print("%u", static_cast<UINT64>(0xABCDEF0000000007ULL)), "7");
  // The next argument must still come from the following slot.
  EXPECT_EQ(Print("%d %d", static_cast<UINT64>(0xFFFFFFFF00000005ULL), 6), "5 6");
}

TEST(PrintLibDecimal, UnsignedValues) {
  EXPECT_EQ(Print("%u", 0u), "0");
  EXPECT_EQ(Print("%u", 0xFFFFFFFFu), "4294967295");
  EXPECT_EQ(Print("%u", -1), "4294967295");
}

TEST(PrintLibDecimal, SixtyFourBitValues) {
  EXPECT_EQ(Print("%ld", static_cast<INT64>(-5000000000LL)), "-5000000000");
  EXPECT_EQ(Print("%Ld", static_cast<INT64>(5000000000LL)), "5000000000");
  EXPECT_EQ(Print("%ld", static_cast<INT64>(-9223372036854775807LL - 1)), "-9223372036854775808");
  EXPECT_EQ(Print("%lu", MAX_UINT64), "18446744073709551615");
  EXPECT_EQ(Print("%li", static_cast<INT64>(-1)), "-1");
}

TEST(PrintLibDecimal, WidthZeroFillAndJustification) {
  EXPECT_EQ(Print("[%5d]", 42), "[   42]");
  EXPECT_EQ(Print("[%-5d]", 42), "[42   ]");
  EXPECT_EQ(Print("[%05d]", 42), "[00042]");
  EXPECT_EQ(Print("[%05d]", -42), "[-0042]");
  EXPECT_EQ(Print("[%5d]", -42), "[  -42]");
  EXPECT_EQ(Print("[%-05d]", 42), "[42   ]");
  EXPECT_EQ(Print("[%2d]", 12345), "[12345]");
  // Every digit counts in a width and a precision, 0 and 9 included.
  EXPECT_EQ(Print("[%9d]", 42), "[       42]");
  EXPECT_EQ(Print("[%10d]", 42), "[        42]");
  EXPECT_EQ(Print("[%.9d]", 42), "[000000042]");
  EXPECT_EQ(Print("[%19x]", 0xABCu), "[                abc]");
  EXPECT_EQ(Print("[%*d]", 4, 7), "[   7]");
  EXPECT_EQ(Print("[%0*d]", 4, 7), "[0007]");
  EXPECT_EQ(Print("[%*d]", -4, 7), "[7   ]");
  EXPECT_EQ(Print("[%.4d]", 7), "[0007]");
  EXPECT_EQ(Print("[%6.4d]", -7), "[ -0007]");
}

TEST(PrintLibHex, CaseAndValue) {
  EXPECT_EQ(Print("%x", 0xABCDEFu), "abcdef");
  EXPECT_EQ(Print("%X", 0xABCDEFu), "ABCDEF");
  EXPECT_EQ(Print("%x", 0u), "0");
  EXPECT_EQ(Print("%x", 0xFFFFFFFFu), "ffffffff");
  EXPECT_EQ(Print("%X", -1), "FFFFFFFF");
}

TEST(PrintLibHex, ThirtyTwoBitConversionIgnoresUpperHalfOfSlot) {
  EXPECT_EQ(Print("%x", static_cast<UINT64>(0xDEADBEEFFFFFFFFFULL)), "ffffffff");
  EXPECT_EQ(Print("%X", static_cast<UINT64>(0x1234567800000010ULL)), "10");
}

TEST(PrintLibHex, ZeroFillAndWidth) {
  EXPECT_EQ(Print("%08x", 0x1234u), "00001234");
  EXPECT_EQ(Print("%08X", 0xBEEFu), "0000BEEF");
  EXPECT_EQ(Print("[%8x]", 0x1234u), "[    1234]");
  EXPECT_EQ(Print("[%-8x]", 0x1234u), "[1234    ]");
  EXPECT_EQ(Print("%02x", 0xABCu), "abc");
  EXPECT_EQ(Print("%02x:%02x", 5u, 0xAu), "05:0a");
}

TEST(PrintLibHex, SixtyFourBitValues) {
  EXPECT_EQ(Print("%lx", 0x123456789ABCDEF0ULL), "123456789abcdef0");
  EXPECT_EQ(Print("%lX", 0x123456789ABCDEF0ULL), "123456789ABCDEF0");
  EXPECT_EQ(Print("%016lx", 0xFEE00000ULL), "00000000fee00000");
  EXPECT_EQ(Print("%016lX", MAX_UINT64), "FFFFFFFFFFFFFFFF");
  EXPECT_EQ(Print("%Lx", 0x100000000ULL), "100000000");
}

TEST(PrintLibPointer, SixteenUpperCaseDigits) {
  EXPECT_EQ(Print("%p", reinterpret_cast<const VOID *>(0x1234)), "0000000000001234");
  EXPECT_EQ(Print("%p", reinterpret_cast<const VOID *>(0xFFFF8000DEADBEEFULL)), "FFFF8000DEADBEEF");
  EXPECT_EQ(Print("%p", static_cast<const VOID *>(nullptr)), "0000000000000000");
}

TEST(PrintLibGuid, RegistryFormat) {
  const GUID Guid = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  EXPECT_EQ(Print("%g", &Guid), "12345678-9ABC-DEF0-0123-456789ABCDEF");

  const GUID Small = {0xABC, 0x1, 0xF0, {0, 1, 2, 3, 4, 5, 6, 7}};
  EXPECT_EQ(Print("[%g]", &Small), "[00000ABC-0001-00F0-0001-020304050607]");
}

TEST(PrintLibGuid, NullGuidIsPrintedAsMarker) {
  EXPECT_EQ(Print("%g", static_cast<const GUID *>(nullptr)), "<null guid>");
}

TEST(PrintLibStatus, SuccessAndWarnings) {
  EXPECT_EQ(Print("%r", EFI_SUCCESS), "Success");
  EXPECT_EQ(Print("%r", EFI_WARN_UNKNOWN_GLYPH), "Warning Unknown Glyph");
  EXPECT_EQ(Print("%r", EFI_WARN_DELETE_FAILURE), "Warning Delete Failure");
  EXPECT_EQ(Print("%r", EFI_WARN_WRITE_FAILURE), "Warning Write Failure");
  EXPECT_EQ(Print("%r", EFI_WARN_BUFFER_TOO_SMALL), "Warning Buffer Too Small");
  EXPECT_EQ(Print("%r", EFI_WARN_STALE_DATA), "Warning Stale Data");
}

TEST(PrintLibStatus, EveryNamedError) {
  struct {
    EFI_STATUS Status;
    const char *Name;
  } const Cases[] = {
      {EFI_LOAD_ERROR, "Load Error"},
      {EFI_INVALID_PARAMETER, "Invalid Parameter"},
      {EFI_UNSUPPORTED, "Unsupported"},
      {EFI_BAD_BUFFER_SIZE, "Bad Buffer Size"},
      {EFI_BUFFER_TOO_SMALL, "Buffer Too Small"},
      {EFI_NOT_READY, "Not Ready"},
      {EFI_DEVICE_ERROR, "Device Error"},
      {EFI_WRITE_PROTECTED, "Write Protected"},
      {EFI_OUT_OF_RESOURCES, "Out of Resources"},
      {EFI_VOLUME_CORRUPTED, "Volume Corrupt"},
      {EFI_VOLUME_FULL, "Volume Full"},
      {EFI_NO_MEDIA, "No Media"},
      {EFI_MEDIA_CHANGED, "Media changed"},
      {EFI_NOT_FOUND, "Not Found"},
      {EFI_ACCESS_DENIED, "Access Denied"},
      {EFI_NO_RESPONSE, "No Response"},
      {EFI_NO_MAPPING, "No mapping"},
      {EFI_TIMEOUT, "Time out"},
      {EFI_NOT_STARTED, "Not started"},
      {EFI_ALREADY_STARTED, "Already started"},
      {EFI_ABORTED, "Aborted"},
      {EFI_ICMP_ERROR, "ICMP Error"},
      {EFI_TFTP_ERROR, "TFTP Error"},
      {EFI_PROTOCOL_ERROR, "Protocol Error"},
      {EFI_INCOMPATIBLE_VERSION, "Incompatible Version"},
      {EFI_SECURITY_VIOLATION, "Security Violation"},
      {EFI_CRC_ERROR, "CRC Error"},
      {EFI_END_OF_MEDIA, "End of Media"},
      {EFI_END_OF_FILE, "End of File"},
      {EFI_INVALID_LANGUAGE, "Invalid Language"},
      {EFI_COMPROMISED_DATA, "Compromised Data"},
  };
  for (const auto &Case : Cases) {
    EXPECT_EQ(Print("%r", Case.Status), Case.Name) << "status " << std::hex << Case.Status;
  }
}

TEST(PrintLibStatus, ReservedCodesBetweenEndOfMediaAndEndOfFile) {
  EXPECT_EQ(Print("%r", ENCODE_ERROR(29)), "Reserved (29)");
  EXPECT_EQ(Print("%r", ENCODE_ERROR(30)), "Reserved (30)");
}

TEST(PrintLibStatus, UnknownCodesPrintLowHalfInHex) {
  EXPECT_EQ(Print("%r", ENCODE_ERROR(0)), "00000000");
  EXPECT_EQ(Print("%r", ENCODE_ERROR(34)), "00000022");
  EXPECT_EQ(Print("%r", static_cast<EFI_STATUS>(0x8000000000000064ULL)), "00000064");
  EXPECT_EQ(Print("%r", ENCODE_WARNING(6)), "00000006");
  EXPECT_EQ(Print("%r", static_cast<EFI_STATUS>(0x8000000012ABCDEFULL)), "12ABCDEF");
  EXPECT_EQ(Print("%r", static_cast<EFI_STATUS>(0x0000000123456789ULL)), "23456789");
}

TEST(PrintLibStatus, ReadsWholeSlotAndFollowsWithNextArgument) {
  EXPECT_EQ(Print("%r/%d", EFI_NOT_FOUND, 3), "Not Found/3");
  EXPECT_EQ(Print("[%-12r]", EFI_SUCCESS), "[Success     ]");
}

TEST(PrintLibFormat, LiteralPercent) {
  EXPECT_EQ(Print("100%%"), "100%");
  EXPECT_EQ(Print("%%d", 5), "%d");
}

TEST(PrintLibFormat, UnknownConversionIsShownAndTakesNoArgument) {
  EXPECT_EQ(Print("%q"), "q");
  EXPECT_EQ(Print("%q%d", 7), "q7");
  EXPECT_EQ(Print("%5y%a", "next"), "ynext");
}

TEST(PrintLibFormat, TrailingPercentEndsOutput) {
  EXPECT_EQ(Print("ab%"), "ab");
  EXPECT_EQ(Print("ab%08"), "ab");
}

TEST(PrintLibFormat, MixedConversions) {
  EXPECT_EQ(Print("%a: %r at %016lx (%d)", "Load", EFI_DEVICE_ERROR, 0xFED00000ULL, -1),
            "Load: Device Error at 00000000fed00000 (-1)");
}

TEST(PrintLibLineEnds, LineFeedBecomesCrLf) {
  EXPECT_EQ(Print("a\nb"), "a\r\nb");
  EXPECT_EQ(Print("\n"), "\r\n");
  EXPECT_EQ(Print("\n\n"), "\r\n\r\n");
  EXPECT_EQ(Print("%d\n", 5), "5\r\n");
}

TEST(PrintLibLineEnds, PairsCollapseToOneCrLf) {
  EXPECT_EQ(Print("a\r\nb"), "a\r\nb");
  EXPECT_EQ(Print("a\n\rb"), "a\r\nb");
  EXPECT_EQ(Print("\n\r\n"), "\r\n\r\n");
  EXPECT_EQ(Print("\r\r\n"), "\r\r\n");
  EXPECT_EQ(Print("\r\n\r\n"), "\r\n\r\n");
}

TEST(PrintLibLineEnds, LoneCarriageReturnStays) {
  EXPECT_EQ(Print("a\rb"), "a\rb");
  EXPECT_EQ(Print("\r"), "\r");
}

TEST(PrintLibLineEnds, ArgumentTextIsNotRewritten) {
  EXPECT_EQ(Print("%a", "x\ny"), "x\ny");
  EXPECT_EQ(Print("%c", '\n'), "\n");
  EXPECT_EQ(Print("%s", u"p\nq"), "p\nq");
}

TEST(PrintLibTruncation, LongMessageIsCutBeforeTheNul) {
  const std::string Message(300, 'm');
  // The buffer is bigger than the size given so that an overrun lands on guard bytes.
  std::string Text = PrintInto(256, "%a", Message.c_str());
  EXPECT_EQ(Text, Message.substr(0, 255));

  Text = PrintInto(256, Message.c_str());
  EXPECT_EQ(Text, Message.substr(0, 255));
}

TEST(PrintLibTruncation, InsertedCarriageReturnsCountAgainstTheLimit) {
  std::string Message;
  while (Message.size() < 300) {
    Message += "line of text\n";
  }
  const std::string Expected = WithCrLf(Message).substr(0, 255);
  EXPECT_EQ(PrintInto(256, Message.c_str()), Expected);
}

TEST(PrintLibTruncation, CarriageReturnIsLastCharacterThatFits) {
  EXPECT_EQ(PrintInto(4, "ab\ncd"), "ab\r");
  EXPECT_EQ(PrintInto(5, "ab\ncd"), "ab\r\n");
  EXPECT_EQ(PrintInto(3, "ab\ncd"), "ab");
}

TEST(PrintLibTruncation, CutInsideConversions) {
  EXPECT_EQ(PrintInto(4, "%d", 123456), "123");
  EXPECT_EQ(PrintInto(4, "%d", -123456), "-12");
  EXPECT_EQ(PrintInto(4, "%10d", 5), "   ");
  EXPECT_EQ(PrintInto(6, "%-10d|", 5), "5    ");
  EXPECT_EQ(PrintInto(9, "%r", EFI_INVALID_PARAMETER), "Invalid ");
  EXPECT_EQ(PrintInto(5, "%g", static_cast<const GUID *>(nullptr)), "<nul");
  EXPECT_EQ(PrintInto(3, "%*d", 100000, 1), "  ");
}

TEST(PrintLibTruncation, SizeOneGivesEmptyString) {
  EXPECT_EQ(PrintInto(1, "anything %d", 5), "");
  EXPECT_EQ(PrintInto(2, "anything"), "a");
}

TEST(PrintLibArguments, ZeroSizeWritesNothing) {
  CHAR8 Buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(AsciiSPrint(Buffer, 0, "abc"), 0u);
  EXPECT_EQ(Buffer[0], 'x');
}

TEST(PrintLibArguments, NullBufferOrFormatReturnsZero) {
  EXPECT_EQ(AsciiSPrint(nullptr, 16, "abc"), 0u);

  CHAR8 Buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(AsciiSPrint(Buffer, sizeof(Buffer), nullptr), 0u);
  EXPECT_EQ(Buffer[0], 'x');
}

TEST(PrintLibArguments, ReturnValueIsCharacterCount) {
  CHAR8 Buffer[64];
  EXPECT_EQ(AsciiSPrint(Buffer, sizeof(Buffer), "abc"), 3u);
  EXPECT_EQ(AsciiSPrint(Buffer, sizeof(Buffer), "%a\n", "abc"), 5u);
  EXPECT_EQ(AsciiSPrint(Buffer, sizeof(Buffer), ""), 0u);
  EXPECT_EQ(Buffer[0], '\0');
  EXPECT_EQ(AsciiSPrint(Buffer, 3, "abcdef"), 2u);
}

TEST(PrintLibArguments, ListPassedOnFromAnotherFrame) {
  CHAR8 Buffer[64];
  UINTN Count =
      ForwardPrint(Buffer, sizeof(Buffer), "%a=%08x %r %lx", "key", 0xBEEFu, EFI_ABORTED, 0x1FFFFFFFFULL);
  EXPECT_STREQ(Buffer, "key=0000beef Aborted 1ffffffff");
  EXPECT_EQ(Count, std::strlen(Buffer));

  Count = ForwardPrint(Buffer, 8, "%x", 0x123456789ULL);
  EXPECT_STREQ(Buffer, "2345678");
  EXPECT_EQ(Count, 7u);
}
