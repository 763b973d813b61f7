// Track exports for map programs: GPX 1.1, GeoJSON (RFC 7946) and CSV,
// written as the rows stream past.
#pragma once

#include "trip.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace track {

enum class Format { gpx, geojson, csv };

// Called in this order: begin_document, then per trip begin_trip, point
// for each of its rows, end_trip; then end_document. The trip's summary
// (from a first pass over the same rows) is known at its beginning.
class TrackWriter {
public:
    virtual ~TrackWriter() = default;
    virtual void begin_document() = 0;
    virtual void begin_trip(const TripSummary& trip) = 0;
    virtual void point(const TrackRow& row) = 0;
    virtual void end_trip() = 0;
    virtual void end_document() = 0;
};

std::unique_ptr<TrackWriter> make_writer(Format format, FILE* out);

// Rows held in memory (in order) split into trips by the rule and written
// whole: the first pass sums the trips, the second writes them. For
// callers that have the rows at hand rather than a table to read twice.
void write_rows(Format format, const std::vector<TrackRow>& rows, const TripRule& rule, FILE* out);

}  // namespace track
