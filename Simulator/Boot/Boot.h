// SPDX-License-Identifier: BSD-2-Clause-Patent
// One boot of a board: the machine and its devices, the DXE core with the
// board's platform data, the driver image, and the timeline run in order.
#pragma once

#include "Board/Board.h"
#include "Dxe/DxeCore.h"
#include "Images/ImageLoader.h"
#include "Machine/Cmos.h"
#include "Machine/Devices.h"
#include "Machine/Machine.h"
#include "Machine/DieRoot.h"
#include "Machine/Pci.h"
#include "Machine/RegisterFile.h"
#include "Machine/SpiController.h"
#include "Machine/SuperIo.h"
#include "Machine/Uart16550.h"
#include "Platform/PlatformModels.h"
#include "Platform/S3Platform.h"
#include "Record.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct StepRecord {
  Step step;
  uint64_t startNs;
  std::string note; // what the platform did, or why the step was skipped
};

struct DriverFault;

// What the firmware wrote to each console UART's transmit holding register,
// decoded or not, and the assertion report that precedes each breakpoint
// trap: the exact record of assertions, whatever the UARTs did with it.
class ConsoleTap : public MachineObserver {
public:
  explicit ConsoleTap(Machine &machine) : machine_(machine) {}
  void portWritten(uint16_t port, unsigned width, uint32_t value) override;
  void breakpointHit(uint64_t count) override;
  // Bytes written to the transmit holding register of the UART at this base.
  const std::string &written(uint16_t base) const {
    return base == 0x3F8 ? uarts_[0].written : uarts_[1].written;
  }
  struct Trap {
    uint64_t breakpoint;
    size_t traceIndex;
    uint32_t context;
    std::optional<std::string> file, expression;
    unsigned line = 0;
    uint64_t sequence = 0; // console bytes written before it: orders traps and reports, trace or no trace
  };
  const std::vector<Trap> &traps() const { return traps_; }
  // Every assertion report as the firmware printed it, trap or no trap: on
  // the first UART, and on the second only where the first got none.
  struct Report {
    std::string file, expression;
    unsigned line = 0;
    size_t traceIndex = 0; // the line's last byte
    uint32_t context = 0;
    uint64_t sequence = 0;
  };
  const std::vector<Report> &reports() const;

private:
  struct Uart {
    uint8_t lcr = 0;
    std::string written;
    size_t seen = 0;      // bytes before the last trap
    size_t lineStart = 0; // where the line being written began
    std::vector<Report> reports;
  };
  void lineEnded(Uart &uart);
  Machine &machine_;
  uint64_t sequence_ = 0;
  Uart uarts_[2];
  std::vector<Trap> traps_;
};

struct BootOutcome {
  bool completed = false; // every step ran
  std::optional<MachineHalt> halt;
  std::optional<EFI_STATUS> entryStatus;
  std::vector<StepRecord> steps;
};

// How the simulator runs a boot, whatever the board: none of these changes
// what the firmware sees.
struct SimulationOptions {
  // Busy-waits on a UART's line status skip to the UART's next event
  // (Machine::setFastPolls); the boot and its report come out the same.
  bool fastPolls = true;
  // Off: the machine keeps no access trace (batch runs that only want the
  // outcome); the parts of the report drawn from the trace are then empty.
  bool trace = true;
  // Trace entries to make room for at the start: a whole reference boot's
  // (about 1,200), so that most boots never move their trace.
  size_t traceReserve = 2048;
  // The record also lists the hardware accesses that make up the boot's
  // behaviour (BootRecord::hardware), for golden records and diffs; needs
  // the trace.
  bool recordHardware = false;
};

class Simulation {
public:
  // driverImage: the host image of the driver (the board's own choice wins).
  Simulation(const Board &board, std::string driverImage, const SimulationOptions &options = {});
  ~Simulation();

  // Runs the board's timeline. Never throws for what the firmware does: a
  // halt ends the boot and is reported.
  const BootOutcome &run();

  // Bytes as the UART at 0x3F8 sends them, for live display.
  std::function<void(char)> onConsoleByte;

  const Board &board() const { return board_; }
  bool recordsHardware() const { return recordHardware_; }
  Machine &machine() { return machine_; }
  DxeCore &core() { return *core_; }
  const DxeCore &core() const { return *core_; }
  ImageLoader &loader() { return *loader_; }
  const PostCodePorts &postCodes() const { return *postCodes_; }
  // The console's UARTs: 0x3F8 (console()) and its mirror at 0x2F8. After
  // run() each has sent all it could.
  const Uart16550 &console() const { return *uart3F8_; }
  const Uart16550 &secondConsole() const { return *uart2F8_; }
  const Cmos &cmos() const { return *cmos_; }
  const SuperIo &superIo() const { return *superIo_; }
  PciConfigSpace &pci() { return pci_; }
  // The SPI controller, when the board's SPI base register holds a usable base.
  const SpiController *spi() const { return spi_.get(); }
  uint64_t spiBase() const { return spiBase_; }
  const SpiRegisters &spiAtReset() const { return board_.spi; }
  // The GCD map as the board gave it, before the boot.
  const std::vector<GcdRange> &gcdAtStart() const { return gcdAtStart_; }
  // The platform protocol models the board installs (null when left out).
  const NvramAttributeModel *nvram() const { return nvram_.get(); }
  const PlatformIdModel *identity() const { return identity_.get(); }
  const UsbPortControlModel *usbPortControl() const { return usbPortControl_.get(); }
  const Mc5744Model *mc5744() const { return mc5744_.get(); }
  const SataModel *sata() const { return sata_.get(); }
  // The S3 save platform: window, debug-print service, SMM handler, resume.
  const S3Platform &s3() const { return *s3_; }
  // The root device of each die the board describes, by die number.
  const std::map<uint8_t, std::unique_ptr<DieRoot>> &dies() const { return dies_; }
  // The image whose handle this is, or "".
  std::string imageName(EFI_HANDLE handle) const;
  const BootOutcome &outcome() const { return outcome_; }
  // Assertion reports, as printed, with their traps.
  std::vector<AssertionRecord> assertions() const;
  // The platform as the machine was built, before any firmware ran.
  const PlatformFacts &platformFacts() const { return platformFacts_; }
  const ConsoleTap &consoleTap() const { return *tap_; }
  // "KeshInitDxe KeshOnEndOfDxe": the image and function of a trace context.
  std::string codeName(uint32_t context) const;
  // The function of the loaded image `image` that holds this address, or "".
  std::string functionIn(const std::string &image, const void *address) const;
  // What the boot did: built once, when run() ends.
  const BootRecord &record() const;
  // The offsets of the driver image's code the boot ran, sorted, read when
  // run() ends; empty when the image has no edge table (only the Edges
  // build has). Not part of the record: they follow the build, not the
  // behaviour.
  const std::vector<uint32_t> &driverEdges() const { return driverEdges_; }
  // Blocks the driver ran that its edge table had no room for (0: complete).
  uint64_t driverEdgesLost() const { return driverEdgesLost_; }

private:
  void runStep(Step step);
  std::string faultDetail(const DriverFault &fault) const;
  void installPlatformProtocols();
  void attachConsole();
  void installHobLists();
  void finishConsole();

  Board board_;
  std::string driverImage_;
  bool recordHardware_ = false;
  Machine machine_;
  std::unique_ptr<PostCodePorts> postCodes_;
  std::unique_ptr<AcpiPmTimer> pmTimer_;
  std::unique_ptr<Cmos> cmos_;
  std::unique_ptr<SuperIo> superIo_;
  std::unique_ptr<Uart16550> uart3F8_;
  std::unique_ptr<Uart16550> uart2F8_;
  std::vector<std::vector<uint8_t>> hobLists_; // the board's further HOB lists, in place
  PciConfigSpace pci_;
  std::unique_ptr<PciHostBridge> hostBridge_;
  std::unique_ptr<SpiController> spi_;
  std::unique_ptr<RegisterFile> acpiMmio_;
  uint64_t spiBase_ = 0;
  std::vector<GcdRange> gcdAtStart_;
  std::unique_ptr<NvramAttributeModel> nvram_;
  std::unique_ptr<PlatformIdModel> identity_;
  std::unique_ptr<UsbPortControlModel> usbPortControl_;
  std::unique_ptr<Mc5744Model> mc5744_;
  std::unique_ptr<SataModel> sata_;
  std::unique_ptr<S3Platform> s3_;
  std::map<uint8_t, std::unique_ptr<DieRoot>> dies_;
  std::unique_ptr<DxeCore> core_;
  std::unique_ptr<ImageLoader> loader_;
  std::unique_ptr<ConsoleTap> tap_;
  struct ImageFile {
    std::string path; // the host image file
    uintptr_t base;   // where this boot's copy was loaded
  };
  std::map<std::string, ImageFile> imageFiles_; // by image name
  PlatformFacts platformFacts_;
  std::unique_ptr<BootRecord> record_;
  std::vector<const LoadedImage *> driverLoads_; // each load of the driver image
  std::vector<uint32_t> driverEdges_;
  uint64_t driverEdgesLost_ = 0;
  BootOutcome outcome_;
  bool ran_ = false;
};

// The assertion reports in console text. A line number too large for
// 32 bits marks no report.
std::vector<AssertionRecord> findAssertionReports(const std::string &text);

// Where the tool and the tests find the driver's host image.
std::string defaultDriverImage();

} // namespace sim
