#include "playback/station.h"

std::string StationTitle;
std::string StreamAddress;
std::string HomeAddress;
std::string SongTitle;

std::atomic<AE_HANDLE> StreamHandle{0};
std::atomic<bool> IsWmaStream{false};
