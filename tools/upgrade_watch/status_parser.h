// Reading the updater's status lines from its standard output, a byte stream:
//   progress record  "0, <total>, <received>;"   (two decimal numbers, "%f")
//   text notice      "1, <text>;"                (the text unchanged, may hold ";")
// with nothing between records and no line breaks. The same progress record is also
// the whole of one upgrade-pipe message.
//
// The stream carries no escaping, so where a notice ends is decided by this rule:
//   - A record starts only at a boundary: the start of the stream, right after the ";"
//     that ended a record, or right after the ";" or line break that ended unparsed
//     output. It starts with "0, " or "1, ".
//   - A progress record is exact: "0, " NUMBER ", " NUMBER ";" with NUMBER = optional
//     "-", digits, optional "." and digits. Anything else that starts with "0, " is not a
//     record.
//   - A notice's text runs from "1, " to the last ";" before the next record start (a
//     complete progress record or "1, "), or before the end of the stream. So a ";"
//     inside a text is kept, and so is "0, " inside it unless a whole progress record
//     follows the ";". Only a text that holds ";1, " or ";0, N, N;" itself is split:
//     the stream cannot tell it from two records.
//   - A record is at most kMaxStatusRecord bytes (the updater's own line limit). An open
//     notice that grows beyond it ends at its last ";", and the rest is unparsed.
//   - Bytes at a boundary that start no record are unparsed output, up to and including
//     the next ";" or line break (for example the line the install-location lookup
//     prints). At the end of the stream, bytes after the last complete record are
//     unparsed output too: a record cut short.
// Because a notice ends only when the next record has begun, a notice is reported when
// the next record is complete or the stream ends, never earlier.
//
// The parser works incrementally: bytes may arrive in pieces of any size, cut anywhere,
// and the result is the same as for the whole stream at once. Memory stays bounded by
// about two records, whatever the input. Not thread-safe; one parser per stream.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The updater formats a status line into 4096 bytes with its terminator.
constexpr size_t kMaxStatusRecord = 4095;

struct StatusRecord {
    enum class Kind { progress, notice, unparsed };
    Kind kind = Kind::unparsed;
    // progress: the two byte counts.
    double total = 0;
    double received = 0;
    // notice: the text, without "1, " and the final ";". unparsed: the bytes as they
    // came, at most kMaxStatusRecord of them.
    std::string text;
    // unparsed: the number of bytes, also those not kept in `text`.
    size_t length = 0;
};

class StatusParser {
public:
    // Takes the next `size` bytes of the stream and appends every record they complete
    // to `out`, in stream order.
    void feed(const char* data, size_t size, std::vector<StatusRecord>& out);

    // The stream has ended: appends the records still open (a notice that ended at a
    // ";", a cut record as unparsed output) and makes the parser ready for a new stream.
    void finish(std::vector<StatusRecord>& out);

private:
    enum class State {
        boundary,  // at a boundary; `candidate` holds the bytes of a record start so far
        notice,    // inside a notice's text
        unparsed,  // inside unparsed output
    };
    // Progress of `candidate` through "0, " NUMBER ", " NUMBER ";".
    enum class Scan {
        prefix,            // the first three bytes
        sign_or_digit,     // a number's first byte
        digit_after_sign,  // after "-"
        int_digits,        // in the integer part
        first_fraction,    // right after "."
        fraction_digits,   // in the fractional part
        space,             // after the "," between the numbers
    };
    enum class Step { more, done, no_record };

    void take(char byte, std::vector<StatusRecord>& out);
    Step scan(char byte);
    void start_boundary();
    // `candidate` turned out to start no record; `byte` (which decided that) is then
    // taken again in the new state.
    void reject_candidate(char byte, std::vector<StatusRecord>& out);
    void emit_notice(std::vector<StatusRecord>& out);
    void emit_progress(std::vector<StatusRecord>& out);
    void add_unparsed(const char* data, size_t size);
    void emit_unparsed(std::vector<StatusRecord>& out);
    // Ends an over-long notice at its last ";" and moves the rest to unparsed output.
    void split_long_notice(std::vector<StatusRecord>& out);

    State state_ = State::boundary;
    Scan scan_ = Scan::prefix;
    int field_ = 0;  // the number being scanned, 0 or 1
    std::string candidate_;
    // A notice that ended at a ";" and waits for the next record start to be sure.
    bool notice_pending_ = false;
    std::string text_;
    // Position in text_ of the last ";" that was followed by no record start.
    size_t last_semicolon_ = std::string::npos;
    std::string unparsed_;
    size_t unparsed_length_ = 0;
};

// One upgrade-pipe message: true, with both values, when `message` is exactly one
// progress record; false (the values untouched) otherwise.
bool parse_progress_message(const std::string& message, double& total, double& received);
