// The front ends' writer of the HTML and stats files: the newest content written on a thread of its own.
#pragma once

#include "newest_writer.h"
#include "report.h"

#include <utility>

// A hung folder never stops the core thread, and the file always ends with
// the newest content; the report's sink for its HTML file.
class FileWriter final : public FileSink {
public:
    explicit FileWriter(NewestWriter<FileContent>::Write write) : writer_(std::move(write)) {}
    void Post(FileContent file) override { writer_.Post(std::move(file)); }
    // Waits at most timeoutMs (-1: as long as it takes) until the newest content is written.
    bool Drain(int timeoutMs) { return writer_.Drain(timeoutMs); }
    // Waits at most timeoutMs (-1: as long as it takes) for the last write; true when it is done.
    bool Close(int timeoutMs) { return writer_.Close(timeoutMs); }

private:
    NewestWriter<FileContent> writer_;
};
