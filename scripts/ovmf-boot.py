#!/usr/bin/env python3
"""Boots the driver in Debian's OVMF under QEMU and checks what it logged.

Builds a FAT image whose startup.nsh loads the platform fixture, the
driver and the S3 client, runs the phase application and resets. Both UARTs
are captured; the second one is checked. Exit status 0 when every check
passes, 1 when one fails, 2 when the run itself could not be made.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"

# The driver's lines in the order of a real boot, checked on the second UART.
EXPECTED_ORDER = [
    "KeshInitEntryPoint Entry",
    "KeshOnPciEnumComplete: Report ACPI MMIO as runtime memory type",
    "KeshOnPciEnumComplete: Report SPI MMIO as runtime memory type",
    "SPI Base Address is incorrect !!",
    "KeshInitEntryPoint Exit",
    "KeshOnEndOfDxe() Entry",
    "ActivateSpiProtectLock() - Start",
    "SPI Base Address is incorrect !!",
    "OrvexPlatformUsbDisable Locations = 0x4",
    "OrvexPlatformUsbDisable Locate MC5744 Protocol = Success",
    # QEMU has no die 1 (bus 0, device 0x19 reads all ones): the port is left alone.
    "EmbeddedSataPortDisablement - Die 1 Bus Register Error: 0xffffffff",
    "KeshOnEndOfDxe() Exit",
    "KeshOnReadyToBoot() Entry",
    "KeshOnReadyToBoot() Exit",
    "[s3] OrunS3SaveCloseTableCallBack",
    "[fixture] S3 table handed off",
    "[fixture] summary: end",
]
EXPECTED_ONCE = ["KeshOnReadyToBoot() Entry", "KeshOnEndOfDxe() Entry", "KeshInitEntryPoint Entry"]
EXPECTED_FIXTURE = [
    "[fixture] SetPortMask (0, 0xc, 0xc)",
    "[fixture] MC5744 SetPortEnables (1, 1, 1, 1)",
    "[fixture] MC5744 ApplyConfig (1)",
]
# Lines that must not appear: nothing is recorded for a die that is not there.
EXPECTED_ABSENT = ["[fixture] summary: PCD 236", "Disable SATA Port"]


def tool(name):
    """The path of a tool; mkfs.fat lives in sbin, which a user's PATH may lack."""
    return shutil.which(name) or shutil.which(name, path="/usr/sbin:/sbin")


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kw)


def make_disk(work, images):
    disk = os.path.join(work, "esp.img")
    # A kept log folder holds the last run's image; mkfs.fat -C will not overwrite it.
    if os.path.exists(disk):
        os.remove(disk)
    run([tool("mkfs.fat"), "-C", "-F", "16", disk, "16384"])
    script = ["fs0:", "load OvmfFixtureDxe.efi", "load KeshInitDxe.efi"]
    if "S3ClientDxe.efi" in images:
        script.append("load S3ClientDxe.efi")
    script += ["OvmfPhaseApp.efi", "reset -s"]
    nsh = os.path.join(work, "startup.nsh")
    with open(nsh, "w", newline="\r\n") as out:
        out.write("\n".join(script) + "\n")
    for path in list(images.values()) + [nsh]:
        run([tool("mcopy"), "-i", disk, path, "::" + os.path.basename(path)])
    return disk


def boot(work, disk, limit):
    vars_copy = os.path.join(work, "vars.fd")
    shutil.copy(OVMF_VARS, vars_copy)
    com1 = os.path.join(work, "com1.log")
    com2 = os.path.join(work, "com2.log")
    cmd = [tool("qemu-system-x86_64"), "-accel", "tcg", "-machine", "q35", "-cpu", "EPYC", "-m", "512",
           "-display", "none", "-no-reboot", "-net", "none", "-monitor", "none",
           "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={OVMF_CODE}",
           "-drive", f"if=pflash,format=raw,unit=1,file={vars_copy}",
           "-drive", f"format=raw,file={disk}",
           "-serial", "stdio", "-serial", f"file:{com2}"]
    qemu = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    os.set_blocking(qemu.stdout.fileno(), False)
    received = b""
    key_sent = False
    reason = "time limit"
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if qemu.poll() is not None:
            reason = "QEMU exited"
            break
        chunk = qemu.stdout.read(4096)
        if chunk:
            received += chunk
            # A key sent before the countdown is shown is lost.
            if not key_sent and b"seconds to skip" in received:
                qemu.stdin.write(b" ")
                qemu.stdin.flush()
                key_sent = True
            if b"!!!! X64 Exception" in received:
                time.sleep(0.5)
                reason = "exception dump"
                break
        else:
            time.sleep(0.05)
    if qemu.poll() is None:
        qemu.kill()
    qemu.wait()
    try:
        received += qemu.stdout.read() or b""
    except (OSError, ValueError):
        pass
    with open(com1, "wb") as out:
        out.write(received)
    with open(com2, "rb") as f:
        second = f.read()
    return reason, received.decode("latin-1"), second.decode("latin-1")


def check(second):
    failures = []
    lines = [line.rstrip("\r") for line in second.split("\n")]
    at = 0
    for expected in EXPECTED_ORDER:
        found = next((i for i in range(at, len(lines)) if expected in lines[i]), None)
        if found is None:
            failures.append(f"missing, or out of order: {expected!r}")
        else:
            at = found + 1
    for expected in EXPECTED_ONCE:
        n = sum(1 for line in lines if expected in line)
        if n != 1:
            failures.append(f"{expected!r} appears {n} times, not once")
    for expected in EXPECTED_FIXTURE:
        if not any(expected in line for line in lines):
            failures.append(f"the fixture did not record {expected!r}")
    for unexpected in EXPECTED_ABSENT:
        if any(unexpected in line for line in lines):
            failures.append(f"{unexpected!r} appears")
    if not any(re.search(r"\[fixture\] \s+\+0x030 type 3 ", line) for line in lines):
        failures.append("the handed-off S3 table holds no type-3 entry at 0x30")
    if any("X64 Exception" in line for line in lines):
        failures.append("an exception dump was printed")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--images", required=True, help="folder holding the .efi images")
    parser.add_argument("--logs", help="keep com1.log and com2.log here (default: a temporary folder)")
    parser.add_argument("--time-limit", type=float, default=90.0)
    args = parser.parse_args()

    for name in ("qemu-system-x86_64", "mkfs.fat", "mcopy"):
        if tool(name) is None:
            print(f"ovmf-boot: {name} is not installed", file=sys.stderr)
            return 2
    if not os.path.exists(OVMF_CODE):
        print(f"ovmf-boot: {OVMF_CODE} is not installed", file=sys.stderr)
        return 2
    names = ["OvmfFixtureDxe.efi", "KeshInitDxe.efi", "OvmfPhaseApp.efi", "S3ClientDxe.efi"]
    images = {n: os.path.join(args.images, n) for n in names if os.path.exists(os.path.join(args.images, n))}
    for required in names[:3]:
        if required not in images:
            print(f"ovmf-boot: {required} not found in {args.images}", file=sys.stderr)
            return 2

    work = args.logs or tempfile.mkdtemp(prefix="ovmf-boot-")
    os.makedirs(work, exist_ok=True)
    started = time.monotonic()
    disk = make_disk(work, images)
    reason, first, second = boot(work, disk, args.time_limit)
    failures = check(second)
    print(f"ovmf-boot: QEMU stopped ({reason}) after {time.monotonic() - started:.1f} s; logs in {work}")
    for failure in failures:
        print(f"ovmf-boot: FAIL {failure}")
    checks = len(EXPECTED_ORDER) + len(EXPECTED_ONCE) + len(EXPECTED_FIXTURE) + len(EXPECTED_ABSENT) + 2
    print(f"{checks - len(failures)} passed, {len(failures)} failed")
    if not args.logs:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
