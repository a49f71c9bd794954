#include "cli/terminal_view.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "cli/terminal_text.h"
#include "os/clock.h"

namespace snapsave::cli {

namespace {

// The texts the sessions ask for, as the English language file has them.
const std::map<std::string_view, std::string_view>& Texts() {
  static const std::map<std::string_view, std::string_view> texts{
      {"MSG0301", "writing image"},
      {"MSG0302", "Writing image to"},
      {"MSG0303", "sector"},
      {"MSG0304", "estimating time left"},
      {"MSG0305", "time left:"},
      {"MSG0701", "scanning drive %c:"},
      {"MSG0702", "scanning volume %d"},
      {"MSG0703", "scanning image"},
      {"MSG0704", "scanning"},
      {"MSG0705", "estimating time left"},
      {"MSG0706", "sector"},
      {"MSG0707", "found:"},
      {"MSG0708", "time left: "},
      {"MSG0901", "preparing preview"},
      {"MSG1101", "recovering"},
      {"MSG1102", "%d of %d files done: %d saved, %d failed"},
      {"MSG1105", "%d of the saved damaged"},
      {"MSG1201", "sorting drive %c:"},
      {"MSG1202", "sorting volume %d"},
      {"MSG1203", "sorting image"},
      {"MSG1204", "sorting"},
      {"MSG1206", "A deep scan of this source was stopped earlier. Continue from where it left off?"},
      {"MSG1208", "A finished deep scan of this source is saved. Show its results without scanning again?"}};
  return texts;
}

}  // namespace

TerminalView::TerminalView(ResumePolicy resume) : terminal_(isatty(STDERR_FILENO) != 0), resume_(resume) {}

TerminalView::~TerminalView() {
  EndProgressLine();
}

std::string TerminalView::Message(std::string_view id) {
  const auto it = Texts().find(id);
  return it == Texts().end() ? std::string() : std::string(it->second);
}

void TerminalView::SetLine(ViewLine line, const std::string& text) {
  lines_[line] = text;
  // The percent line comes last in every report; one redraw per report at most, a few per second.
  if (line == ViewLine::kPercent) Draw(false);
}

void TerminalView::ShowLine(ViewLine line, bool visible) {
  hidden_[line] = !visible;
}

void TerminalView::Draw(bool force) {
  if (!terminal_) return;
  const uint64_t now = os::TickMs();
  if (!force && drawn_ && now - lastDraw_ < 200) return;
  lastDraw_ = now;
  std::string text;
  for (ViewLine line :
       {ViewLine::kPercent, ViewLine::kCount, ViewLine::kSectors, ViewLine::kFiles, ViewLine::kTime}) {
    const auto it = lines_.find(line);
    if (it == lines_.end() || it->second.empty() || hidden_[line]) continue;
    if (!text.empty()) text += "  ";
    text += it->second;
  }
  // Carriage return and erase-to-end: the line is rewritten in place.
  std::fprintf(stderr, "\r%s\x1b[K", EscapeForTerminal(text).c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void TerminalView::EndProgressLine() {
  if (drawn_) {
    std::fputs("\n", stderr);
    drawn_ = false;
  }
}

bool TerminalView::AskYesNo(std::string_view messageId) {
  // Ctrl-C is the cancel button: it needs no second yes. The two others ask about a saved scan.
  const bool finished = messageId == "MSG1208";
  if (messageId != "MSG1206" && !finished) return true;
  switch (resume_) {
    case ResumePolicy::kResume:
      return true;
    case ResumePolicy::kFresh:
      discarded_ = true;
      return false;
    case ResumePolicy::kAsk:
      break;
  }
  if (isatty(STDIN_FILENO) != 0 && terminal_) {
    EndProgressLine();
    std::fprintf(stderr, "%s [Y/n] ", Message(messageId).c_str());
    std::fflush(stderr);
    std::string answer;
    std::getline(std::cin, answer);
    const bool yes = answer.empty() || answer[0] == 'y' || answer[0] == 'Y';
    discarded_ = !yes;
    return yes;
  }
  std::fputs(
      finished ? "a finished deep scan of this source is saved; scanning again (use --resume to show its "
                 "results without scanning)\n"
               : "an interrupted deep scan of this source is saved; starting over (use --resume to continue "
                 "it)\n",
      stderr);
  discarded_ = true;
  return false;
}

void TerminalView::ShowReport(const std::string& path) {
  EndProgressLine();
  std::fprintf(stderr, "report: %s\n", EscapeForTerminal(path).c_str());
}

void TerminalView::AddResult(const std::string& path, const std::string& outcome, bool failed) {
  if (failed) {
    EndProgressLine();
    std::fprintf(stderr, "failed: %s: %s\n", EscapeForTerminal(path).c_str(), outcome.c_str());
  } else {
    if (drawn_) {
      std::fputs("\r\x1b[K", stderr);
      drawn_ = false;
    }
    if (outcome == "Success") {
      std::printf("recovered %s\n", EscapeForTerminal(path).c_str());
    } else {
      std::printf("recovered %s (%s)\n", EscapeForTerminal(path).c_str(), outcome.c_str());
    }
  }
}

void TerminalView::Close(int32_t endCode) {
  endCode_.store(endCode);
}

}  // namespace snapsave::cli
