// The progress of a page loop.
#include "ops/progress.h"

#include <cmath>
#include <cstdio>

#include "log/log.h"
#include "ops/console_lines.h"
#include "platform/platform.h"

namespace {
// A person reads no faster; a slow terminal (a serial console) would fall behind.
constexpr uint64_t kRedrawUs = 100000;
constexpr int32_t kDefaultColumns = 80;
constexpr size_t kBarMin = 10;  // a narrower bar tells nothing the percent does not
constexpr size_t kBarMax = 40;

// "0:45", "12:03", "1:02:03"; "--:--" for an unknown (negative) time.
std::string duration_text(double seconds) {
  if (seconds < 0) return "--:--";
  // Half a second rounds up; floor of the sum, not llround, so that every time keeps its text.
  const auto whole = static_cast<unsigned long long>(std::floor(seconds + 0.5));
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60,
                  whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
  }
  return text;
}

void draw(Progress* progress, uint64_t now) {
  const std::optional<RunProgress>& counted = run_record().progress;
  if (!counted) return;
  console_status(progress_status_text(*counted, now, console_columns()));
  progress->drawn = true;
  progress->drawn_us = now;
}

// The status line is drawn at once for the first page, then at most every kRedrawUs.
void show(Progress* progress, bool last) {
  if (progress->mode != PROGRESS_BAR) return;
  const uint64_t now = now_us();
  if (last || !progress->drawn || now - progress->drawn_us >= kRedrawUs) draw(progress, now);
}
}  // namespace

const char* progress_mode_name(int32_t mode) {
  static const char* const kNames[] = {"auto", "lines", "bar", "none"};
  static_assert(sizeof kNames / sizeof *kNames == PROGRESS_NONE + 1, "one name per mode");
  return mode >= PROGRESS_AUTO && mode <= PROGRESS_NONE ? kNames[mode] : nullptr;
}

Progress progress_start(ProgressMode mode, int32_t pages, uint32_t page_bytes) {
  Progress progress;
  progress.mode = mode;
  if (mode == PROGRESS_AUTO) progress.mode = console_interactive() ? PROGRESS_BAR : PROGRESS_LINES;
  progress.pages = pages;
  progress.page_bytes = page_bytes;
  run_record_progress(0, pages, page_bytes);
  return progress;
}

void progress_page(Progress* progress, int32_t done, int32_t line_done, int32_t line_total) {
  run_record_progress(done, progress->pages, progress->page_bytes);
  if (progress->mode == PROGRESS_LINES) print_progress(&progress->last_line, line_done, line_total);
  show(progress, false);
}

void progress_done(Progress* progress) {
  run_record_progress(progress->pages, progress->pages, progress->page_bytes);
  show(progress, true);
}

std::string progress_status_text(const RunProgress& progress, uint64_t now_us, int32_t columns) {
  const double share = progress.pages > 0 ? static_cast<double>(progress.pages_done) /
                                                static_cast<double>(progress.pages)
                                          : 1.0;
  const double rate = run_progress_rate(progress);
  char rate_text[32] = "--.-";
  if (rate > 0) std::snprintf(rate_text, sizeof rate_text, "%.1f", rate / 1000.0);
  // The rate was measured at the last count; the time since then is already spent.
  double left = run_progress_left_s(progress);
  if (left >= 0 && now_us > progress.at_us) {
    left -= static_cast<double>(now_us - progress.at_us) / 1e6;
    if (left < 0) left = 0;
  }
  const double so_far = static_cast<double>(now_us - progress.started_us) / 1e6;
  char text[256];
  std::snprintf(text, sizeof text, "%5.1f%%  %d/%d pages  %.0f kB  %s kB/s  %s so far  %s left",
                share * 100.0, progress.pages_done, progress.pages,
                static_cast<double>(progress.bytes) / 1000.0, rate_text,
                duration_text(so_far).c_str(), duration_text(left).c_str());
  std::string line = text;
  const size_t width = static_cast<size_t>(columns > 1 ? columns : kDefaultColumns) - 1;
  // "[", the bar, "] " before the text
  const size_t room = width > line.size() + 3 ? width - line.size() - 3 : 0;
  if (room >= kBarMin) {
    const size_t bar = room < kBarMax ? room : kBarMax;
    const auto filled = static_cast<size_t>(share * static_cast<double>(bar));
    line = "[" + std::string(filled, '#') + std::string(bar - filled, '.') + "] " + line;
  }
  if (line.size() > width) line.resize(width);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}
