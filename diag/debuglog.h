// Opt-in diagnostics on stderr, switched on with VELMORA_DEBUG=1. Nothing else depends on it.
#pragma once

bool DebugLogEnabled();

// printf-style; one line per call, prefixed with "velmora: ".
void DebugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
