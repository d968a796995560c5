#pragma once

#include "core/foundation/Log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace corvantis::test {

struct PoppedRecord {
    bool isError = false;
    uint64_t time = 0;
    std::string line;
    bool operator==(const PoppedRecord&) const = default;
};

// Everything waiting in the log's screen queue, oldest first.
inline std::vector<PoppedRecord> DrainRecords(CLog& log)
{
    std::vector<PoppedRecord> records;
    PoppedRecord record;
    while (log.PopLogRecord(false, record.isError, record.time, record.line))
        records.push_back(record);
    return records;
}

inline std::vector<std::string> DrainLines(CLog& log)
{
    std::vector<std::string> lines;
    for (const PoppedRecord& record : DrainRecords(log))
        lines.push_back(record.line);
    return lines;
}

// The lines of a file without their line breaks; empty when the file is missing.
inline std::vector<std::string> ReadFileLines(const std::filesystem::path& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A file line is the local time "YYYY-MM-DD HH:MM:SS", a blank and the text; returns the text, or nothing when
// the line does not carry the time stamp.
inline bool StripTimeStamp(const std::string& line, std::string& text)
{
    static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )");
    std::smatch match;
    if (!std::regex_search(line, match, stamp))
        return false;
    text = line.substr(match.length(0));
    return true;
}

// The texts of a log file's lines, failing the test for any line without its time stamp.
inline std::vector<std::string> ReadLogTexts(const std::filesystem::path& path)
{
    std::vector<std::string> texts;
    for (const std::string& line : ReadFileLines(path)) {
        std::string text;
        if (!StripTimeStamp(line, text))
            ADD_FAILURE() << "line without time stamp in " << path << ": " << line;
        texts.push_back(text);
    }
    return texts;
}

} // namespace corvantis::test
