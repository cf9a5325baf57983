#pragma once

#include "core/Meteor.h"
#include "core/Result.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// A night's meteors file: "meteors-2026-12-07.json" in the snapshot folder,
// a JSON array in time order. A run takes up the night's file and adds to
// it; a file it cannot read is kept as it is, said once, and the night goes
// on in "meteors-2026-12-07-2.json".
class MeteorLog {
public:
    MeteorLog(std::string folder, FILE* err) : folder_(std::move(folder)), err_(err) {}

    // The file to write (its path and whole text) once the meteor is added.
    std::pair<std::string, std::string> add(const Meteor& meteor);
    // Gives the clip to the meteors within its times that have none; the
    // file to write again when one changed.
    std::optional<std::pair<std::string, std::string>> clipped(const std::string& clip, int64_t firstMillis,
                                                               int64_t lastMillis);
    // The meteors of the night in use that started in [fromMillis, toMillis).
    size_t between(int64_t fromMillis, int64_t toMillis) const;
    const std::vector<Meteor>& meteors() const { return meteors_; }

private:
    void open(const std::string& night);
    std::pair<std::string, std::string> file() const;

    std::string folder_;
    FILE* err_;
    std::string night_, path_;
    std::vector<Meteor> meteors_;
};

// The meteors of a file, or why it holds none: no JSON array, something in
// it that is no meteor, or larger than 4 MB (some 16,000 meteors, more than
// any night's; read and rewritten whole, it would hold up the loop).
Result<std::vector<Meteor>> readMeteorFile(const std::string& path);
// Every meteor of a night in the folder, from all its readable files, in
// time order, and why each other file could not be read.
struct MeteorNight {
    std::vector<Meteor> meteors;
    std::vector<std::string> unreadable;  // reasons, each naming its file
};
Result<MeteorNight> readMeteorNight(const std::string& folder, const std::string& night);
// The latest night with a meteors file in the folder.
std::optional<std::string> latestMeteorNight(const std::string& folder);
