// Fuzzes the station record reader with arbitrary file contents.
#include "playback/record.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzFile file(data, size, ".dta");
    const auto record = ReadStationRecord(file.path());
    if (size >= kStationRecordSize) {
        if (!record || record->title.size() > 40 || record->homeAddress.size() > 50 ||
            record->streamAddress.size() > 60)
            abort();
    } else if (record) {
        abort();
    }
    return 0;
}
