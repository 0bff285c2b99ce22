#include "app/ConsoleDialogView.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <iostream>
#include <sstream>

namespace tvl {
namespace {

constexpr int kBarWidth = 30;
constexpr char kLanguagePrompt[] = "Please select the language for your download:";

}  // namespace

ConsoleDialogView::ConsoleDialogView(std::istream& in, std::ostream& out, std::ostream& err, bool interactive,
                                     bool terminal, int inputFd)
    : in_(&in),
      out_(&out),
      err_(&err),
      interactive_(interactive),
      terminal_(terminal),
      inputFd_(inputFd),
      wakeFds_{-1, -1},
      endRequested_(false),
      languagePending_(false),
      bar_(Bar::None),
      percent_(0),
      lineOpen_(false) {
    if (inputFd_ >= 0 && pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
        // Without the pipe a prompt cannot be ended early, but still answered.
        wakeFds_[0] = wakeFds_[1] = -1;
    }
}

ConsoleDialogView::~ConsoleDialogView() {
    for (const int fd : wakeFds_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::unique_ptr<ConsoleDialogView> ConsoleDialogView::ForStandardStreams() {
    const bool interactive = isatty(STDIN_FILENO) == 1;
    return std::make_unique<ConsoleDialogView>(std::cin, std::cout, std::cerr, interactive,
                                               isatty(STDOUT_FILENO) == 1, interactive ? STDIN_FILENO : -1);
}

void ConsoleDialogView::RunModal(DialogViewEvents& events) {
    events.OnViewCreated();
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (languagePending_ && !endRequested_) {
            names = languages_;
        }
        languagePending_ = false;
    }
    if (!names.empty()) {
        const int choice = AskLanguage(names);
        if (choice >= 0) {
            events.OnLanguageChosen(choice);
        }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    ended_.wait(lock, [this] { return endRequested_; });
    EndLine();
}

int ConsoleDialogView::AskLanguage(const std::vector<std::string>& names) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        *out_ << kLanguagePrompt << "\n";
        for (std::size_t i = 0; i < names.size(); ++i) {
            *out_ << "  " << (i + 1) << ") " << names[i] << "\n";
        }
        if (!interactive_) {
            *out_ << "> 1\n" << std::flush;
            return 0;
        }
    }
    // The mutex is not held while waiting for the user, so that EndModal can
    // come through.
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            *out_ << "[1-" << names.size() << ", Enter for 1]: " << std::flush;
        }
        std::string line;
        const Answer answer = ReadAnswer(line);
        if (answer != Answer::Line) {
            std::lock_guard<std::mutex> lock(mutex_);
            *out_ << "\n";
            // End of input keeps the preselected entry.
            return answer == Answer::Ended ? -1 : 0;
        }
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            return 0;
        }
        std::istringstream parse(line);
        long choice = 0;
        std::string rest;
        if ((parse >> choice) && !(parse >> rest) && choice >= 1 &&
            static_cast<std::size_t>(choice) <= names.size()) {
            return static_cast<int>(choice - 1);
        }
    }
}

ConsoleDialogView::Answer ConsoleDialogView::ReadAnswer(std::string& line) {
    if (inputFd_ < 0) {
        return std::getline(*in_, line) ? Answer::Line : Answer::EndOfInput;
    }
    // A byte at a time, so that nothing after the answer's line is taken from
    // the input.
    for (;;) {
        pollfd fds[2] = {{inputFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (poll(fds, wakeFds_[0] >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Answer::EndOfInput;
        }
        if (fds[1].revents != 0) {
            return Answer::Ended;
        }
        char c = 0;
        const ssize_t got = read(inputFd_, &c, 1);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            return line.empty() ? Answer::EndOfInput : Answer::Line;
        }
        if (c == '\n') {
            return Answer::Line;
        }
        line += c;
    }
}

void ConsoleDialogView::EndModal() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        endRequested_ = true;
    }
    ended_.notify_all();
    if (wakeFds_[1] >= 0) {
        const char byte = 1;
        const ssize_t ignored = write(wakeFds_[1], &byte, 1);
        (void)ignored;
    }
}

void ConsoleDialogView::ServeWhile(const std::function<void()>& work) {
    // Error texts need no thread of their own here.
    work();
}

void ConsoleDialogView::SetTitle(const std::string& title) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (endRequested_) {
        return;
    }
    EndLine();
    *out_ << "== " << title << " ==\n" << std::flush;
    lastLine_.clear();
}

void ConsoleDialogView::SetStatusText(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = text;
    Draw();
}

void ConsoleDialogView::SetProgress(int percent) {
    std::lock_guard<std::mutex> lock(mutex_);
    percent_ = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
    Draw();
}

void ConsoleDialogView::ShowLanguageChoice(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(mutex_);
    languages_ = names;
    languagePending_ = !names.empty();
    bar_ = Bar::None;
}

void ConsoleDialogView::ShowProgress() {
    std::lock_guard<std::mutex> lock(mutex_);
    bar_ = Bar::Progress;
    Draw();
}

void ConsoleDialogView::ShowActivity() {
    std::lock_guard<std::mutex> lock(mutex_);
    bar_ = Bar::Activity;
    Draw();
}

void ConsoleDialogView::ShowError(const std::string& caption, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    EndLine();
    *out_ << std::flush;
    *err_ << caption << ": " << text << "\n" << std::flush;
}

void ConsoleDialogView::Draw() {
    if (endRequested_ || bar_ == Bar::None) {
        return;
    }
    std::string line;
    if (bar_ == Bar::Progress) {
        const int filled = percent_ * kBarWidth / 100;
        line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(kBarWidth - filled), '-') + "] ";
        const std::string number = std::to_string(percent_);
        line += std::string(3 - std::min<std::size_t>(3, number.size()), ' ') + number + "%  ";
    }
    line += status_;
    if (line == lastLine_) {
        return;
    }
    if (terminal_) {
        // Clears what a longer previous line left behind.
        const std::size_t pad = lastLine_.size() > line.size() ? lastLine_.size() - line.size() : 0;
        *out_ << "\r" << line << std::string(pad, ' ') << std::flush;
        lineOpen_ = true;
        lastLine_ = line;
        return;
    }
    // A log file gets a line per tenth of the download, not per estimate.
    const std::string key = std::to_string(static_cast<int>(bar_)) + ":" +
                            (bar_ == Bar::Progress ? std::to_string(percent_ / 10) : status_);
    if (key != lastKey_) {
        *out_ << line << "\n" << std::flush;
        lastKey_ = key;
    }
    lastLine_ = line;
}

void ConsoleDialogView::EndLine() {
    if (lineOpen_) {
        *out_ << "\n";
        lineOpen_ = false;
    }
    lastLine_.clear();
}

}  // namespace tvl
