// SPDX-License-Identifier: BSD-3-Clause
// A one-line progress display on stderr: a bar with elapsed and remaining
// time while the fraction done is known, else the elapsed time alone. It is
// drawn by its own thread a few times a second and erased when it ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace dyadfit::cli {

class Progress {
 public:
  // Draws only when `enabled` (stderr is a terminal and --quiet not given).
  explicit Progress(bool enabled);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // A new stage: its label, and whether it reports a fraction.
  void stage(const std::string& label, bool measured);
  // Fraction of the current stage done, 0..1; any thread.
  void update(double fraction);
  // Erases the line and stops drawing; later calls do nothing.
  void finish();

 private:
  void run();
  void draw();

  bool enabled_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::string label_;
  bool measured_ = false;
  double fraction_ = 0;
  // When the fraction last changed, and the stage's time up to then.
  std::chrono::steady_clock::time_point start_, stageStart_, updated_;
  std::thread thread_;
};

// "12.3 s", "4 min 05 s", "1 h 02 min".
std::string durationText(double seconds);

}  // namespace dyadfit::cli
