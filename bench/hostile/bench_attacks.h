// The attack table of bench_flood (see bench_attacks.cpp).
#pragma once

#include <string>

// The programs the attack table runs.
struct AttackPrograms {
    std::string simcam;           // the camera
    std::string archiver;         // the archiver (SQLite)
    std::string floodPeer;        // whispers --flood N messages a second, or --bloat N Infos of 15 MB, to the camera
    std::string stallPeer;        // floods the camera with commands and never reads
    std::string archiveAttacker;  // big and tiny Infos to the archiver, broadcast and log floods
};

// Runs the table with `rounds` alternating rounds an attack; prints it.
// 0, or 1 when a step timed out.
int runAttacks(int rounds, const AttackPrograms& programs);
