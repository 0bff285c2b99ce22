#pragma once

// The updater dialog on a terminal, for sessions without a display: the
// language choice as a numbered prompt (the first entry when the input is not
// interactive), a progress bar with the status text redrawn in place on a
// terminal (plain lines otherwise), error texts on the error stream. EndModal
// also ends a prompt that is waiting for an answer when the input is read from
// a file descriptor. RunModal runs on the main thread; the other operations
// may come from any thread and are serialized by the view's own mutex.

#include <condition_variable>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/DialogView.h"

namespace tvl {

class ConsoleDialogView : public DialogView {
  public:
    // The streams are not owned. interactive: prompt on `in`; terminal: redraw
    // the progress line in place on `out`. With `inputFd` the answers are read
    // from that descriptor instead of `in` (not owned either).
    ConsoleDialogView(std::istream& in, std::ostream& out, std::ostream& err, bool interactive,
                      bool terminal, int inputFd = -1);
    ~ConsoleDialogView() override;
    // Over standard input, output and error, asking the terminal what they are.
    static std::unique_ptr<ConsoleDialogView> ForStandardStreams();

    void RunModal(DialogViewEvents& events) override;
    void EndModal() override;
    void SetTitle(const std::string& title) override;
    void SetStatusText(const std::string& text) override;
    void SetProgress(int percent) override;
    void ShowLanguageChoice(const std::vector<std::string>& names) override;
    void ShowProgress() override;
    void ShowActivity() override;
    void ShowError(const std::string& caption, const std::string& text) override;
    void ServeWhile(const std::function<void()>& work) override;

  private:
    enum class Bar { None, Progress, Activity };

    enum class Answer { Line, EndOfInput, Ended };

    // -1 when the end was requested before an answer came.
    int AskLanguage(const std::vector<std::string>& names);
    Answer ReadAnswer(std::string& line);
    // Called with the mutex held.
    void Draw();
    void EndLine();

    std::istream* in_;
    std::ostream* out_;
    std::ostream* err_;
    bool interactive_;
    bool terminal_;
    int inputFd_;
    // Written by EndModal so that a read of inputFd_ stops waiting.
    int wakeFds_[2];

    std::mutex mutex_;
    std::condition_variable ended_;
    bool endRequested_;
    bool languagePending_;
    std::vector<std::string> languages_;
    Bar bar_;
    int percent_;
    std::string status_;
    // What was last written, so that a pipe gets a line only for a change.
    std::string lastLine_;
    std::string lastKey_;
    bool lineOpen_;
};

}  // namespace tvl
