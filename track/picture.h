// A picture of trips: drawn to scale, north up, coloured by speed, with a
// scale bar, a legend, start and end marked and paid sessions told apart.
#pragma once

#include "trip.h"

#include <memory>
#include <string>
#include <vector>

namespace track {

struct PictureSize {
    int width = 1024, height = 768;  // pixels (SVG: px)
};

// Draws the rows of the given trips (their summaries from a first pass
// over the same rows) into a PNG or SVG file, by the path's extension.
class Picture {
public:
    Picture();
    ~Picture();
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    // False, with error(), when the file cannot be made.
    bool open(const std::string& path, PictureSize size, const std::vector<TripSummary>& trips);
    // Rows of the trips in order; `trip` is the summary of the row's trip.
    void point(const TrackRow& row, const TripSummary& trip);
    // Marks, legend, scale bar; writes the file. False, with error(), when
    // it could not be written.
    bool finish();
    const std::string& error() const { return error_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string error_;
};

// Whether a path names a picture format that Picture writes.
bool picture_path_ok(const std::string& path);

}  // namespace track
