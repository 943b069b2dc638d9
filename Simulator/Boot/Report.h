// SPDX-License-Identifier: BSD-2-Clause-Patent
// What a boot did, for people (text) and for programs (JSON), both rendered
// from the boot record alone.
#pragma once

#include "Record.h"

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// The version of the JSON report's shape (docs/report.schema.json).
constexpr int kReportFormat = 2;

// The name of a GUID this platform knows, else its text form.
std::string guidDisplayName(const EFI_GUID &guid);
// Every GUID guidDisplayName names, with its name.
std::vector<std::pair<EFI_GUID, std::string_view>> knownGuids();
// "UC|RUNTIME", or "none".
std::string attributeNames(uint64_t attributes);
// Names of the record's typed values.
std::string memoryTypeName(EFI_MEMORY_TYPE type);
const char *gcdTypeName(EFI_GCD_MEMORY_TYPE type);
std::string eventTypeName(const RecordedEvent &event); // "notify-signal", ..., or the hex type
std::string eventSubject(const RecordedEvent &event); // "group End of DXE", "protocol notify ...", "no group"
const char *s3LibraryStateName(S3LibraryState state);
std::string poolRefName(const PoolRef &ref);    // "pool[1]+0x0"
std::string haltText(const BootRecord &record); // "fatal stop", ...
const char *portOffByName(PortOffBy by);        // "SetPortMask", "SATA port-disable write", ...
// Where the first port went off: "SetPortMask at call 57" (the images'
// service calls, from 1), or "SATA port-disable write at trace entry 812".
std::string portOffPlace(const SpiRecord &spi);

// A lookup: what it asked for ("protocol PCD {11B34006-...}", "attribute
// UsbPorts", "platform state 8") and what it got ("Success: \"AllOff\"").
std::string lookupSubject(const BootRecord &record, const LookupRecord &lookup);
std::string lookupAnswer(const BootRecord &record, const LookupRecord &lookup);
// "attribute UsbPort: never read; did you mean UsbPorts?"
std::string nearMissText(const NearMissRecord &miss);
// The images' calls, numbered from 1 as the lookups refer to them.
nlohmann::json callsJson(const BootRecord &record);

std::string textSummary(const BootRecord &record);
// The checks and the outcome line: the summary of --quiet.
std::string textChecks(const BootRecord &record);
std::string outcomeLine(const BootRecord &record);
nlohmann::json jsonReport(const BootRecord &record);

// The same, for a simulation that has run.
std::string textSummary(Simulation &simulation);
nlohmann::json jsonReport(Simulation &simulation);

} // namespace sim
