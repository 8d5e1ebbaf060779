// A log channel that keeps every record, so that tests can assert the exact log lines.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "common/text.h"
#include "debuglog/DebugLog.h"

class CaptureChannel : public TLogChannel {
 public:
  struct State {
    std::mutex mu;
    std::vector<TDebugMessage> records;
    int start_attempts = 0;
    bool ready = true;
    bool filter_changed = false;
    TDebugFilter filter;
  };

  explicit CaptureChannel(std::shared_ptr<State> s) : s_(std::move(s)) {}
  void StartDebugViewer() override {
    std::lock_guard lock(s_->mu);
    ++s_->start_attempts;
  }
  bool Active() const override { return true; }
  bool CheckReady() override {
    std::lock_guard lock(s_->mu);
    return s_->ready;
  }
  void RefreshFilter(TDebugFilter& filter) override {
    std::lock_guard lock(s_->mu);
    if (s_->filter_changed) filter = s_->filter;
    s_->filter_changed = false;
  }
  void SendContent(const TDebugMessage& msg) override {
    std::lock_guard lock(s_->mu);
    s_->records.push_back(msg);
  }

 private:
  std::shared_ptr<State> s_;
};

// Installs a fresh capture channel on the process's logger and hands back its state.
inline std::shared_ptr<CaptureChannel::State> CaptureLog() {
  auto state = std::make_shared<CaptureChannel::State>();
  TheDebugger().Reset();
  TheDebugger().SetChannel(std::make_unique<CaptureChannel>(state));
  return state;
}

// The texts of the captured records, in order (UTF-8 of the ANSI bytes in an English machine).
inline std::vector<std::string> LogTexts(const std::shared_ptr<CaptureChannel::State>& s) {
  std::lock_guard lock(s->mu);
  std::vector<std::string> out;
  for (auto& r : s->records) out.push_back(r.Text);
  return out;
}

// Whether a captured record holds `utf8Text` as the log writes it: in the machine's code page.
inline bool LogHas(const std::shared_ptr<CaptureChannel::State>& s, const std::string& utf8Text) {
  WStr wide(utf8Text.size(), u'\0');
  wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8Text.data(), static_cast<int>(utf8Text.size()),
                                                      wide.data(), static_cast<int>(wide.size()))));
  std::string text = ToAnsi(wide);
  auto texts = LogTexts(s);
  return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(text) != std::string::npos; });
}
