// The keyboard line reader: a byte buffer over a descriptor, cut at
// newlines, with the prompt's 500-byte line limit.
#include "line_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "line_editor.hpp"

bool LineReader::ready() const {
    const std::string_view p = pending();
    return eof_ || p.size() >= LINE_LIMIT || p.find('\n') != std::string_view::npos;
}

void LineReader::fill() {
    if (eof_) return;
    if (begin_ == end_) {
        begin_ = end_ = 0;
    } else if (begin_ > 0) {
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (editor_ != nullptr) {
        take_from_editor();
        return;
    }
    ssize_t got;
    do {
        got = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        eof_ = true;
        return;
    }
    end_ += static_cast<std::size_t>(got);
    if (dropping_) drop_rest_of_line();
}

// One key goes to the editor; a finished line joins the buffer as if read.
// A line beyond the limit is cut so that it still reads as too long.
void LineReader::take_from_editor() {
    std::string line;
    const LineEditor::Key key = editor_->read(line);
    if (key == LineEditor::Key::end) eof_ = true;
    if (key != LineEditor::Key::line) return;
    if (line.size() > LINE_LIMIT) line.replace(LINE_LIMIT, std::string::npos, "\n");
    std::memcpy(buf_.data() + end_, line.data(), line.size());
    end_ += line.size();
}

void LineReader::drop_rest_of_line() {
    const std::size_t nl = pending().find('\n');
    if (nl == std::string_view::npos) {
        begin_ = end_;
        dropping_ = true;
    } else {
        begin_ += nl + 1;
        dropping_ = false;
    }
}

LineReader::Result LineReader::next(std::string_view& line) {
    while (!ready()) fill();
    const std::string_view p = pending();
    const std::size_t nl = p.find('\n');
    if (nl < LINE_LIMIT) {
        line = p.substr(0, nl);
        begin_ += nl + 1;
    } else if (p.size() >= LINE_LIMIT) {
        begin_ += LINE_LIMIT;
        drop_rest_of_line();
        return Result::too_long;
    } else if (p.empty()) {
        return Result::end;
    } else {
        // The last line of the input has no newline.
        line = p;
        begin_ = end_;
    }
    line = line.substr(0, line.find('\0'));
    return Result::line;
}

LineReader::Result LineReader::ask(const std::string& question, std::string_view& line) {
    if (editor_ != nullptr) {
        editor_->answer_next();
        editor_->show(question);
    } else {
        std::fputs(question.c_str(), stdout);
        std::fflush(stdout);
    }
    return next(line);
}
