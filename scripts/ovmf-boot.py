#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Boots boards in Debian's OVMF under QEMU and in the simulator, and compares the runs.

For each board, `dxesim ovmf BOARD` writes the OVMF fixture's configuration
and boots the board's OVMF twin in the simulator (the board without the hub's
hardware, PCI enumeration and SMM ready-to-lock complete before the driver
loads). QEMU then boots OVMF with a FAT image whose startup.nsh loads the
fixture and runs the phase application, which loads the driver and the S3
client from fw_cfg and performs the board's steps. The two runs are compared:

- the driver's bytes on both UARTs (the stretches the phase application
  brackets, so the shell's own output is left out), CR LF included;
- every platform-protocol call, in order, with its arguments and status;
- the PCD writes; the GCD descriptor of the ACPI MMIO page 0xFED80000;
- each S3 hand-off: the message, the private data, the table's bytes;
- the S3 save library's debug-print lines;
- the debug mask each image answers, the images' entry status, breakpoints.

Every difference is listed. Exit status 0 when no board differs, 1 when one
does (or OVMF's run did not finish), 2 when a run could not be made (a tool
or image missing, a board OVMF cannot express).
"""
import argparse
import concurrent.futures
import difflib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_BOARD = os.path.join(ROOT, "boards", "ovmf-equivalent.toml")

RECORD_PORT = "0x4f0"  # KESH_OVMF_RECORD_PORT
STEP_OPEN = b"\x02KESH{\x03"
STEP_CLOSE = b"\x02KESH}\x03"

# Record lines that describe the fixture's own set-up, not the driver.
HOUSEKEEPING = ("setup ", "step ")

# Differences that are the two machines, not the driver, made equal before
# comparing. Each is (what, record lines it applies to, pattern, replacement).
NORMALISATIONS = [
    # The S3 save library's private data (214) and the communication buffer
    # (215) are pool addresses: host addresses in the simulator, physical
    # ones under OVMF. Whether one was written, and with what status, counts.
    ("PCD 214/215 hold pool addresses", "pcd ", re.compile(r"^(pcd 21[45] size \d+ value )0x[0-9a-f]*[1-9a-f][0-9a-f]*"),
     r"\1<address>"),
    # The fixture's debug-print service formats with the firmware's print
    # library, which ends a line with CR LF; the simulator's keeps the LF.
    ("debug-print line ends", "debugprint ", re.compile(r"\\r\\n"), r"\\n"),
]


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
    # The phase application loads the driver and the S3 client itself.
    script = ["@echo -off", "fs0:", "load OvmfFixtureDxe.efi", "OvmfPhaseApp.efi", "reset -s"]
    nsh = os.path.join(work, "startup.nsh")
    with open(nsh, "w", newline="\r\n") as out:
        out.write("\n".join(script) + "\n")
    for path in (images["OvmfFixtureDxe.efi"], images["OvmfPhaseApp.efi"], nsh):
        run([tool("mcopy"), "-i", disk, path, "::" + os.path.basename(path)])
    return disk


def boot(work, disk, config, images, limit):
    """Runs QEMU until it exits; returns why it stopped, both UARTs and the record."""
    vars_copy = os.path.join(work, "vars.fd")
    shutil.copy(OVMF_VARS, vars_copy)
    com1 = os.path.join(work, "com1.log")
    com2 = os.path.join(work, "com2.log")
    record = os.path.join(work, "record.log")
    for path in (com2, record):
        if os.path.exists(path):
            os.remove(path)
    cmd = [tool("qemu-system-x86_64"), "-accel", "tcg", "-machine", "q35", "-cpu", "EPYC", "-m", "512",
           "-display", "none", "-no-reboot", "-net", "none", "-monitor", "none",
           "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={OVMF_CODE}",
           "-drive", f"if=pflash,format=raw,unit=1,file={vars_copy}",
           "-drive", f"format=raw,file={disk}",
           "-serial", "stdio", "-serial", f"file:{com2}",
           "-chardev", f"file,id=record,path={record}",
           "-device", f"isa-debugcon,iobase={RECORD_PORT},chardev=record",
           "-fw_cfg", f"name=opt/kesh/board,file={config}",
           "-fw_cfg", f"name=opt/kesh/KeshInitDxe.efi,file={images['KeshInitDxe.efi']}"]
    if "S3ClientDxe.efi" in images:
        cmd += ["-fw_cfg", f"name=opt/kesh/S3ClientDxe.efi,file={images['S3ClientDxe.efi']}"]
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
    second = open(com2, "rb").read() if os.path.exists(com2) else b""
    lines = open(record, "rb").read().decode("latin-1").splitlines() if os.path.exists(record) else []
    return reason, received, second, lines


def step_bytes(uart):
    """What the firmware wrote inside the phase application's step brackets."""
    out = b""
    at = 0
    while True:
        start = uart.find(STEP_OPEN, at)
        if start < 0:
            return out
        end = uart.find(STEP_CLOSE, start)
        if end < 0:
            return out + uart[start + len(STEP_OPEN):]
        out += uart[start + len(STEP_OPEN):end]
        at = end + len(STEP_CLOSE)


def normalise(lines):
    out = []
    for line in lines:
        if line.startswith(HOUSEKEEPING):
            continue
        for _, prefix, pattern, replacement in NORMALISATIONS:
            if line.startswith(prefix):
                line = pattern.sub(replacement, line)
        out.append(line)
    return out


def category(line):
    return line.split(" ", 1)[0]


def compare_lines(what, simulated, ovmf):
    """Differences between two lists of lines, as diff hunks."""
    if simulated == ovmf:
        return []
    diff = difflib.unified_diff(simulated, ovmf, "simulator", "OVMF", lineterm="", n=1)
    return [f"{what}:"] + ["    " + line for line in list(diff)[2:]]


def console_lines(data):
    """One entry per line, its CR LF shown, for a readable byte-for-byte diff."""
    return [repr(line)[2:-1] for line in data.splitlines(keepends=True)]


def compare(twin, ovmf_uarts, ovmf_record):
    differences = []
    for index, uart in enumerate(("uart0", "uart1")):
        name = "UART 0x3F8" if index == 0 else "UART 0x2F8"
        simulated = bytes.fromhex(twin[uart])
        real = step_bytes(ovmf_uarts[index])
        if simulated != real:
            differences += compare_lines(f"the driver's bytes on {name}", console_lines(simulated),
                                         console_lines(real))
            if simulated.splitlines() == real.splitlines():
                differences.append(f"    (the lines are equal; their endings differ)")
    simulated = normalise(twin["record"])
    real = normalise(ovmf_record)
    if "end" not in real:
        differences.append("OVMF's run did not finish: the phase application recorded no end")
    names = {
        "call": "platform-protocol calls",
        "pcd": "PCD writes",
        "gcd": "the GCD descriptor of the ACPI MMIO page",
        "s3": "S3 hand-off",
        "debugprint": "debug-print lines",
        "debugmask": "debug mask",
        "image": "images started",
        "firmware": "firmware",
        "breakpoints": "breakpoints",
    }
    for key, what in names.items():
        differences += compare_lines(what, [l for l in simulated if category(l) == key],
                                     [l for l in real if category(l) == key])
    unknown = sorted({category(l) for l in simulated + real} - set(names) - {"end", "halted"})
    for key in unknown:
        differences += compare_lines(f"record lines '{key}'", [l for l in simulated if category(l) == key],
                                     [l for l in real if category(l) == key])
    if "halted" in {category(l) for l in simulated}:
        differences.append("the simulated twin halted: " + next(l for l in simulated if category(l) == "halted"))
    return differences


def compare_board(board, args, images, work):
    """Both runs of one board: (status, lines to print)."""
    os.makedirs(work, exist_ok=True)
    config = os.path.join(work, "board.cfg")
    twin_json = os.path.join(work, "twin.json")
    made = subprocess.run([args.dxesim, "ovmf", board, "--config", config, "--json", twin_json],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if made.returncode != 0:
        return "refused" if made.returncode == 2 else "error", made.stderr.strip().splitlines()
    with open(twin_json) as f:
        twin = json.load(f)
    started = time.monotonic()
    disk = make_disk(work, images)
    reason, first, second, record = boot(work, disk, config, images, args.time_limit)
    out = [f"QEMU stopped ({reason}) after {time.monotonic() - started:.1f} s; logs in {work}"]
    out += [line for line in made.stdout.splitlines() if line.startswith("twin:")]
    differences = compare(twin, (first, second), record)
    out += differences
    return ("differ" if differences else "same"), out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--images", required=True, help="folder holding the .efi images")
    parser.add_argument("--dxesim", required=True, help="the dxesim tool")
    parser.add_argument("--board", action="append", help="board file (repeatable; default: ovmf-equivalent)")
    parser.add_argument("--all", metavar="DIR",
                        help="every board file in DIR that OVMF can express; the others are listed with the reason")
    parser.add_argument("--jobs", type=int, default=2, help="QEMU runs at a time")
    parser.add_argument("--logs", help="keep each board's logs in a folder here (default: a temporary folder)")
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
    images = {n: os.path.abspath(os.path.join(args.images, n)) for n in names
              if os.path.exists(os.path.join(args.images, n))}
    for required in names[:3]:
        if required not in images:
            print(f"ovmf-boot: {required} not found in {args.images}", file=sys.stderr)
            return 2

    boards = list(args.board or [])
    if args.all:
        boards += sorted(os.path.join(args.all, name) for name in os.listdir(args.all) if name.endswith(".toml"))
    boards = boards or [DEFAULT_BOARD]
    top = args.logs or tempfile.mkdtemp(prefix="ovmf-boot-")
    works = {}
    for index, board in enumerate(boards):
        name = os.path.splitext(os.path.basename(board))[0]
        works[board] = os.path.join(top, f"{index:02d}-{name}")
    results = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        futures = {pool.submit(compare_board, board, args, images, os.path.abspath(works[board])): board
                   for board in boards}
        for future in concurrent.futures.as_completed(futures):
            results[futures[future]] = future.result()

    worst = 0
    for board in boards:
        status, lines = results[board]
        print(f"== {board}: {status}")
        for line in lines:
            print(f"  {line}")
        # A board named on its own must be comparable; of a folder, only those that are.
        refused_ok = status == "refused" and args.all and board not in (args.board or [])
        worst = max(worst, 0 if refused_ok else {"same": 0, "differ": 1, "refused": 2, "error": 2}[status])
    same = sum(1 for status, _ in results.values() if status == "same")
    compared = sum(1 for status, _ in results.values() if status in ("same", "differ"))
    refused = len(boards) - compared
    print(f"ovmf-boot: {same} of {compared} boards run the same in OVMF and in the simulator"
          + (f"; {refused} not compared" if refused else ""))
    if not args.logs:
        shutil.rmtree(top, ignore_errors=True)
    return worst


if __name__ == "__main__":
    sys.exit(main())
