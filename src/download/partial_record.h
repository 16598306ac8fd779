// The note beside a partly downloaded installer that lets a later run continue it only
// while the server still has the same file: `<installer>.partial.json`, holding the
// expected MD5 as given, the validator (ETag or date) that named the file's bytes when they came,
// and how many bytes that was. Portable: the first run writes and reads it as the user.
#pragma once

#include <cstdint>
#include <string>

namespace download {

// What an earlier run left beside the installer.
enum class PartialRecord {
    kNone,     // no note: the file may be continued without a validator
    kUsable,   // a note for this installer and these bytes: continue under its validator
    kRefused,  // a note that is not ours, does not parse, or names other bytes: start afresh
};

std::string partial_record_json(const std::string& md5, const std::string& validator,
                                int64_t bytes);
// Whether `text` is a note for the installer of `md5` (any letter case) holding exactly
// `bytes` bytes, with a validator that may be sent back; it goes into `validator`.
bool parse_partial_record(const std::string& text, const std::string& md5, int64_t bytes,
                          std::string& validator);

// The note beside `installer_path` for its present size, read.
PartialRecord read_partial_record(const std::string& installer_path, const std::string& md5,
                                  std::string& validator);
// Leaves a note for the file as it is now. -1 when it cannot be written (then none is
// left: the next run continues without a validator, and the digest decides).
int write_partial_record(const std::string& installer_path, const std::string& md5,
                         const std::string& validator);
void remove_partial_record(const std::string& installer_path);

}  // namespace download
