#include "status_parser.h"

#include <algorithm>
#include <charconv>

namespace {

// "1, " and ";" around a notice's text.
constexpr size_t kMaxNoticeText = kMaxStatusRecord - 4;

bool is_digit(char byte) { return byte >= '0' && byte <= '9'; }

// The scan has checked the syntax already; from_chars ignores the locale.
double number_at(const std::string& text, size_t begin, size_t end) {
    double value = 0;
    std::from_chars(text.data() + begin, text.data() + end, value);
    return value;
}

}  // namespace

void StatusParser::feed(const char* data, size_t size, std::vector<StatusRecord>& out) {
    for (size_t i = 0; i < size; ++i) take(data[i], out);
}

void StatusParser::finish(std::vector<StatusRecord>& out) {
    switch (state_) {
        case State::boundary:
            if (notice_pending_) emit_notice(out);
            if (!candidate_.empty()) {
                add_unparsed(candidate_.data(), candidate_.size());
                emit_unparsed(out);
            }
            break;
        case State::notice:
            if (last_semicolon_ == std::string::npos) {
                // No ";" at all: the notice was cut short.
                add_unparsed("1, ", 3);
                add_unparsed(text_.data(), text_.size());
                emit_unparsed(out);
            } else {
                // The text ends at its last ";"; what follows it started no record and
                // holds no ";", so it is taken again as unparsed output.
                const std::string rest = text_.substr(last_semicolon_ + 1);
                text_.resize(last_semicolon_);
                emit_notice(out);
                start_boundary();
                state_ = State::unparsed;
                feed(rest.data(), rest.size(), out);
                finish(out);
            }
            break;
        case State::unparsed:
            emit_unparsed(out);
            break;
    }
    start_boundary();
    notice_pending_ = false;
    text_.clear();
    last_semicolon_ = std::string::npos;
}

void StatusParser::take(char byte, std::vector<StatusRecord>& out) {
    switch (state_) {
        case State::boundary: {
            const Step step = candidate_.size() < kMaxStatusRecord ? scan(byte) : Step::no_record;
            if (step == Step::no_record) {
                reject_candidate(byte, out);
                return;
            }
            candidate_ += byte;
            if (step == Step::more) return;
            if (notice_pending_) emit_notice(out);
            if (candidate_[0] == '1') {
                state_ = State::notice;
                candidate_.clear();
                text_.clear();
                last_semicolon_ = std::string::npos;
            } else {
                emit_progress(out);
                start_boundary();
            }
            return;
        }
        case State::notice:
            if (byte == ';') {
                notice_pending_ = true;
                start_boundary();
                return;
            }
            text_ += byte;
            if (text_.size() > kMaxNoticeText) split_long_notice(out);
            return;
        case State::unparsed:
            add_unparsed(&byte, 1);
            if (byte == ';' || byte == '\n') {
                emit_unparsed(out);
                start_boundary();
            }
            return;
    }
}

StatusParser::Step StatusParser::scan(char byte) {
    auto end_of_number = [&]() {
        if (field_ == 0 && byte == ',') {
            scan_ = Scan::space;
            return Step::more;
        }
        return field_ == 1 && byte == ';' ? Step::done : Step::no_record;
    };
    switch (scan_) {
        case Scan::prefix:
            if (candidate_.empty())
                return byte == '0' || byte == '1' ? Step::more : Step::no_record;
            if (candidate_.size() == 1) return byte == ',' ? Step::more : Step::no_record;
            if (byte != ' ') return Step::no_record;
            if (candidate_[0] == '1') return Step::done;
            scan_ = Scan::sign_or_digit;
            field_ = 0;
            return Step::more;
        case Scan::sign_or_digit:
            if (byte == '-') {
                scan_ = Scan::digit_after_sign;
                return Step::more;
            }
            [[fallthrough]];
        case Scan::digit_after_sign:
            if (!is_digit(byte)) return Step::no_record;
            scan_ = Scan::int_digits;
            return Step::more;
        case Scan::int_digits:
            if (is_digit(byte)) return Step::more;
            if (byte == '.') {
                scan_ = Scan::first_fraction;
                return Step::more;
            }
            return end_of_number();
        case Scan::first_fraction:
            if (!is_digit(byte)) return Step::no_record;
            scan_ = Scan::fraction_digits;
            return Step::more;
        case Scan::fraction_digits:
            return is_digit(byte) ? Step::more : end_of_number();
        case Scan::space:
            if (byte != ' ') return Step::no_record;
            scan_ = Scan::sign_or_digit;
            field_ = 1;
            return Step::more;
    }
    return Step::no_record;
}

void StatusParser::start_boundary() {
    state_ = State::boundary;
    scan_ = Scan::prefix;
    field_ = 0;
    candidate_.clear();
}

void StatusParser::reject_candidate(char byte, std::vector<StatusRecord>& out) {
    if (notice_pending_) {
        // The ";" before the candidate belonged to the notice's text after all.
        notice_pending_ = false;
        last_semicolon_ = text_.size();
        text_ += ';';
        text_ += candidate_;
        start_boundary();
        state_ = State::notice;
        if (text_.size() > kMaxNoticeText) split_long_notice(out);
    } else {
        state_ = State::unparsed;
        add_unparsed(candidate_.data(), candidate_.size());
        candidate_.clear();
    }
    take(byte, out);
}

void StatusParser::emit_notice(std::vector<StatusRecord>& out) {
    StatusRecord record;
    record.kind = StatusRecord::Kind::notice;
    record.text.swap(text_);
    out.push_back(std::move(record));
    text_.clear();
    notice_pending_ = false;
    last_semicolon_ = std::string::npos;
}

void StatusParser::emit_progress(std::vector<StatusRecord>& out) {
    // candidate_ is "0, <total>, <received>;".
    const size_t comma = candidate_.find(',', 3);
    StatusRecord record;
    record.kind = StatusRecord::Kind::progress;
    record.total = number_at(candidate_, 3, comma);
    record.received = number_at(candidate_, comma + 2, candidate_.size() - 1);
    out.push_back(record);
}

void StatusParser::add_unparsed(const char* data, size_t size) {
    unparsed_length_ += size;
    if (unparsed_.size() < kMaxStatusRecord)
        unparsed_.append(data, std::min(size, kMaxStatusRecord - unparsed_.size()));
}

void StatusParser::emit_unparsed(std::vector<StatusRecord>& out) {
    if (unparsed_length_ == 0) return;
    StatusRecord record;
    record.kind = StatusRecord::Kind::unparsed;
    record.text.swap(unparsed_);
    record.length = unparsed_length_;
    out.push_back(std::move(record));
    unparsed_.clear();
    unparsed_length_ = 0;
}

void StatusParser::split_long_notice(std::vector<StatusRecord>& out) {
    std::string rest;
    if (last_semicolon_ == std::string::npos) {
        // Not one ";" in a record's worth of text: no notice at all.
        rest = "1, " + text_;
        text_.clear();
    } else {
        rest = text_.substr(last_semicolon_ + 1);
        text_.resize(last_semicolon_);
        emit_notice(out);
    }
    // The rest started no record; it may still hold a line break after which one starts.
    start_boundary();
    state_ = State::unparsed;
    feed(rest.data(), rest.size(), out);
}

bool parse_progress_message(const std::string& message, double& total, double& received) {
    StatusParser parser;
    std::vector<StatusRecord> records;
    parser.feed(message.data(), message.size(), records);
    parser.finish(records);
    if (records.size() != 1 || records[0].kind != StatusRecord::Kind::progress) return false;
    total = records[0].total;
    received = records[0].received;
    return true;
}
