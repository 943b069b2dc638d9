# SPDX-License-Identifier: BSD-2-Clause-Patent
"""scripts/ovmf-boot.py's comparison, on runs made up to differ in one way each."""
import importlib.util
import os
import sys
import unittest

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "ovmf-boot.py")
spec = importlib.util.spec_from_file_location("ovmf_boot", SCRIPT)
ovmf_boot = importlib.util.module_from_spec(spec)
spec.loader.exec_module(ovmf_boot)

OPEN, CLOSE = ovmf_boot.STEP_OPEN, ovmf_boot.STEP_CLOSE
DRIVER = b"KeshInitEntryPoint Entry\r\nKeshInitEntryPoint Exit\r\n"
RECORD = [
    "setup start",
    "firmware revision 0x20046",
    "step 1",
    "call nvram GetAttribute UsbPorts -> Success",
    "call usb SetPortMask 0 0xc 0xc -> Success",
    "pcd 214 size 8 value 0x7e51ce18 -> Success",
    "pcd 236 size 8 value 0x200000 -> Success",
    "debugprint 0x4000000000000 OrunS3SaveCloseTableCallBack\\r\\n",
    "breakpoints 0",
    "end",
]


def twin(uart=DRIVER, record=None):
    return {"uart0": uart.hex(), "uart1": uart.hex(),
            "record": [line.replace("0x7e51ce18", "0x55c8d2ebdba0").replace("\\r\\n", "\\n")
                       for line in (RECORD if record is None else record) if not line.startswith(("setup", "step"))]}


def ovmf_uart(driver=DRIVER):
    """The shell's own output around the bracketed steps, as QEMU captures it."""
    half = driver.index(b"\n") + 1
    return (b"\x1b[2J\x1b[01;01HShell> OvmfPhaseApp.efi\r\n" + OPEN + driver[:half] + CLOSE + b"FS0:\\> " + OPEN
            + driver[half:] + CLOSE + b"\r\nShell> reset -s\r\n")


class Compare(unittest.TestCase):
    def test_equal_runs_with_the_shell_around_them_have_no_difference(self):
        self.assertEqual(ovmf_boot.step_bytes(ovmf_uart()), DRIVER)
        self.assertEqual(ovmf_boot.compare(twin(), (ovmf_uart(), ovmf_uart()), RECORD), [])

    def test_a_lost_carriage_return_is_a_difference_on_the_uart_it_happened(self):
        broken = ovmf_uart(DRIVER.replace(b"Exit\r\n", b"Exit\n"))
        differences = ovmf_boot.compare(twin(), (ovmf_uart(), broken), RECORD)
        self.assertIn("the driver's bytes on UART 0x2F8:", differences)
        self.assertNotIn("the driver's bytes on UART 0x3F8:", differences)
        self.assertIn("    (the lines are equal; their endings differ)", differences)

    def test_an_unclosed_step_keeps_what_followed_its_opening(self):
        self.assertEqual(ovmf_boot.step_bytes(b"shell" + OPEN + b"ASSERT x\r\n"), b"ASSERT x\r\n")

    def test_a_changed_call_argument_is_listed_with_both_sides(self):
        record = [line.replace("0xc 0xc", "0x4 0x4") for line in RECORD]
        differences = ovmf_boot.compare(twin(), (ovmf_uart(), ovmf_uart()), record)
        self.assertIn("platform-protocol calls:", differences)
        self.assertIn("    -call usb SetPortMask 0 0xc 0xc -> Success", differences)
        self.assertIn("    +call usb SetPortMask 0 0x4 0x4 -> Success", differences)

    def test_pool_addresses_are_equal_but_a_pointer_token_left_zero_is_not(self):
        record = [line.replace("value 0x7e51ce18", "value 0x0") for line in RECORD]
        differences = ovmf_boot.compare(twin(), (ovmf_uart(), ovmf_uart()), record)
        self.assertIn("PCD writes:", differences)
        # Only 214 and 215 hold addresses: another token's value is compared.
        record = [line.replace("value 0x200000", "value 0x200001") for line in RECORD]
        self.assertIn("PCD writes:", ovmf_boot.compare(twin(), (ovmf_uart(), ovmf_uart()), record))

    def test_a_run_that_did_not_finish_and_lines_of_an_unknown_kind_are_differences(self):
        differences = ovmf_boot.compare(twin(), (ovmf_uart(), ovmf_uart()), RECORD[:-1])
        self.assertIn("OVMF's run did not finish: the phase application recorded no end", differences)
        differences = ovmf_boot.compare(twin(), (ovmf_uart(), ovmf_uart()), RECORD + ["hob level 0x40"])
        self.assertIn("record lines 'hob':", differences)

    def test_a_missing_call_on_one_side_is_a_difference(self):
        record = [line for line in RECORD if "GetAttribute" not in line]
        differences = ovmf_boot.compare(twin(), (ovmf_uart(), ovmf_uart()), record)
        self.assertIn("    -call nvram GetAttribute UsbPorts -> Success", differences)


if __name__ == "__main__":
    sys.exit(unittest.main())
