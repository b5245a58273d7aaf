// SPDX-License-Identifier: BSD-3-Clause
#include "tools/progress.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace dyadfit::cli {

Progress::Progress(bool enabled) : enabled_(enabled) {
  start_ = stageStart_ = updated_ = std::chrono::steady_clock::now();
  if (enabled_) thread_ = std::thread([this] { run(); });
}

Progress::~Progress() { finish(); }

void Progress::stage(const std::string& label, bool measured) {
  std::lock_guard<std::mutex> lock(mutex_);
  label_ = label;
  measured_ = measured;
  fraction_ = 0;
  stageStart_ = updated_ = std::chrono::steady_clock::now();
}

void Progress::update(double fraction) {
  if (!std::isfinite(fraction)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const double f = std::fmin(std::fmax(fraction, 0.0), 1.0);
  if (f != fraction_) updated_ = std::chrono::steady_clock::now();
  fraction_ = f;
}

void Progress::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (done_) return;
    done_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
    // Erase the line so that messages start on a clean one.
    const char erase[] = "\r\033[K";
    (void)!::write(STDERR_FILENO, erase, sizeof erase - 1);
  }
}

void Progress::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  // The first draw waits a moment: a short run shows nothing.
  while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return done_; })) draw();
}

// Called with mutex_ held.
void Progress::draw() {
  const auto now = std::chrono::steady_clock::now();
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  std::string line = "\r" + label_;
  if (measured_) {
    const double f = fraction_;
    constexpr int kWidth = 24;
    const int filled = static_cast<int>(f * kWidth);
    line += " [" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
    char pct[16];
    std::snprintf(pct, sizeof pct, "%3d%%", static_cast<int>(f * 100));
    line += pct;
    line += "  " + durationText(elapsed);
    // The stage's pace up to its last step, counted down since that step.
    const double paced = std::chrono::duration<double>(updated_ - stageStart_).count();
    const double since = std::chrono::duration<double>(now - updated_).count();
    if (f > 0.02 && f < 1) line += ", about " + durationText(std::fmax(paced * (1 - f) / f - since, 0.0)) + " left";
  } else {
    line += "  " + durationText(elapsed);
  }
  line += "\033[K";
  (void)!::write(STDERR_FILENO, line.data(), line.size());
}

std::string durationText(double seconds) {
  char buf[32];
  if (seconds < 60) {
    std::snprintf(buf, sizeof buf, "%.1f s", seconds);
  } else if (seconds < 3600) {
    const long s = std::lround(seconds);
    std::snprintf(buf, sizeof buf, "%ld min %02ld s", s / 60, s % 60);
  } else {
    const long m = std::lround(seconds / 60);
    std::snprintf(buf, sizeof buf, "%ld h %02ld min", m / 60, m % 60);
  }
  return buf;
}

}  // namespace dyadfit::cli
