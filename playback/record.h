// The station record file beside the program: one fixed 153-byte record naming a station.
// The program only reads it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

inline constexpr std::size_t kStationRecordSize = 153;

struct TStationRecord {
    std::string title;          // at most 40 bytes
    std::string homeAddress;    // at most 50 bytes
    std::string streamAddress;  // at most 60 bytes
};

// The path with its extension replaced by ".dta" (the extension runs from the last "." that
// no "/" follows; a name without one gets ".dta" appended).
std::string RecordPathFor(const std::string& executablePath);

// The running program's own file (/proc/self/exe); empty when it cannot be read.
std::string ExecutablePath();

// The record file used by Readini: RecordPathFor(ExecutablePath()) unless a path was set.
std::string StationRecordPath();
// Tests: use this file instead; an empty path returns to the default.
void SetStationRecordPath(const std::string& path);

// The record decoded from its 153 bytes. A length byte larger than its field reads the whole
// field.
TStationRecord DecodeStationRecord(const unsigned char (&bytes)[kStationRecordSize]);

// The first record of the file; nullopt when there is no file or it is shorter than one
// record. A file that exists but cannot be opened or read raises EInOutError naming the file
// and the reason; a FIFO or device counts as one that cannot be opened.
std::optional<TStationRecord> ReadStationRecord(const std::string& path);

// Sets StationTitle, HomeAddress and StreamAddress from the record file when it holds a record;
// leaves them untouched otherwise.
void Readini();
