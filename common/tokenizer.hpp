// A tiny tokenizer over one text, shared by a dispatcher and the handler it
// calls so that both continue from one position. It has the two takes the
// protocol and the prompt are split with: the next field (runs of
// separators skipped) and the rest of the text.
#pragma once

#include <optional>
#include <string_view>

class Tokenizer {
public:
    explicit Tokenizer(std::string_view text) : text_(text) {}

    // Skips any run of `sep`, then takes the characters up to the next `sep`
    // or the end; the one separator that ends the field is consumed.
    // Absent when nothing but separators is left.
    std::optional<std::string_view> next(char sep) {
        while (pos_ < text_.size() && text_[pos_] == sep) ++pos_;
        if (pos_ == text_.size()) return std::nullopt;
        return take_to(sep);
    }

    // Takes the characters up to the first `sep` without skipping leading
    // separators (the field may be empty); the separator is consumed.
    std::string_view first(char sep) { return take_to(sep); }

    // Everything after the separator that ended the previous field, exactly
    // as it stands. Absent when nothing is left or the previous field ended
    // at the end of the text.
    std::optional<std::string_view> rest() {
        if (pos_ == text_.size()) return std::nullopt;
        const std::string_view out = text_.substr(pos_);
        pos_ = text_.size();
        return out;
    }

private:
    std::string_view take_to(char sep) {
        std::size_t end = text_.find(sep, pos_);
        std::string_view out;
        if (end == std::string_view::npos) {
            out = text_.substr(pos_);
            pos_ = text_.size();
        } else {
            out = text_.substr(pos_, end - pos_);
            pos_ = end + 1;
        }
        return out;
    }

    std::string_view text_;
    std::size_t pos_ = 0;  // never past the end
};
