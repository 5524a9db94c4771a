// Whole-process comparison of players on one local stream: each player runs for a fixed wall
// time into a private PulseAudio null sink; measured are its CPU seconds (user + system), its
// peak RSS and the time from its start to the first audible sample in the sink's monitor.
// Rounds rotate the players' order; the summary takes medians.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "fixtures.h"

namespace bench {

struct Player {
    std::string name;
    std::vector<std::string> argv;
    fx::ChildProcess::Options options;  // extra environment, working folder
};

struct Run {
    double cpuSeconds = 0;
    double rssMb = 0;
    double firstAudioSeconds = -1;  // -1: never audible
};

struct Options {
    int rounds = 3;
    double seconds = 20;
    int audibleThreshold = 1000;
};

// Reads --rounds N and --seconds S; other arguments are left to the caller.
Options parseOptions(int argc, char** argv);

// One run of one player; the recorder follows `pulse`.
Run measure(const Player& player, const fx::PulseServer& pulse, const Options& options);

// Every round, printed as it goes, then the medians per player (printed and returned).
std::map<std::string, Run> compare(const std::vector<Player>& players, const fx::PulseServer& pulse,
                                   const Options& options);

// "name / peer  ratio  goal ...  met|MISSED"; true when met (value <= limit x peer).
bool goal(const char* what, const std::string& name, double value, const std::string& peer,
          double peerValue, double limit = 1.0);

}  // namespace bench
