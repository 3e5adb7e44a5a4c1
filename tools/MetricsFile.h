// --prometheus: the metrics as a file for node_exporter's textfile collector.
#pragma once

#include "tools/Metrics.h"

#include <string>
#include <utility>

// Writes AText to AFileName atomically: into a new file beside it, flushed to disk, then
// renamed over it, so a reader (node_exporter's textfile collector) sees the old text or the
// new one, never a part. A symbolic link is followed (FollowLinks) and its target replaced;
// anything but a regular file is refused. An empty text on success, otherwise why not.
std::string WriteFileAtomically(const std::string& AFileName, const std::string& AText);

// The file of --prometheus, written again after every pass.
class TMetricsFile {
public:
    explicit TMetricsFile(std::string AFileName)
        : FFileName(std::move(AFileName))
    {
    }

    // Whether there is a file to write.
    bool Given() const { return !FFileName.empty(); }
    // The metrics of ASnapshot to the file; false (said once while it lasts) when it fails.
    bool Write(const TMetricsSnapshot& ASnapshot);

private:
    std::string FFileName;
    // The last write failed.
    bool FFailed = false;
};
