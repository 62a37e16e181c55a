#pragma once
// What each fuzz target gives the replay driver (FuzzReplayMain.cpp) besides its entry point.

#include <string>
#include <vector>

struct FuzzReplayInputs {
    std::vector<std::string> seeds;  // run first, before any corpus
    std::vector<std::string> pieces; // random inputs are strings of these and stray bytes
    int headerBytes = 0;             // random bytes put in front of the pieces
};

FuzzReplayInputs fuzzReplayInputs();
