#include "app/trace_file.h"

#include <cstring>

#include "app/trace.h"

namespace {

// Writes the last `digits` decimal digits of `value`, zero-padded, so that every stamp has the same width.
char* PutDigits(char* at, unsigned value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return at + digits;
}

}  // namespace

void FormatTraceTimestamp(const TraceTime& time, char (&out)[TRACE_TIMESTAMP_LENGTH + 1]) {
  char* at = out;
  at = PutDigits(at, time.year, 4);
  *at++ = '-';
  at = PutDigits(at, time.month, 2);
  *at++ = '-';
  at = PutDigits(at, time.day, 2);
  *at++ = ' ';
  at = PutDigits(at, time.hour, 2);
  *at++ = ':';
  at = PutDigits(at, time.minute, 2);
  *at++ = ':';
  at = PutDigits(at, time.second, 2);
  *at++ = '.';
  at = PutDigits(at, time.millisecond, 3);
  *at++ = ' ';
  *at = '\0';
}

TraceFile::TraceFile(TraceFileStorage& storage, TraceClock& clock, std::uint64_t limit)
    : storage_(storage), clock_(clock), limit_(limit) {}

void TraceFile::Write(const char* line) {
  if (line == nullptr) return;
  // The stamp and the line in one buffer, handed over in one write; a trace line fits whole.
  char record[TRACE_TIMESTAMP_LENGTH + TRACE_BUFFER_SIZE];
  char stamp[TRACE_TIMESTAMP_LENGTH + 1];

  std::lock_guard<std::mutex> lock(mutex_);
  // Taken under the lock, so the file's stamps never go backwards between two threads.
  FormatTraceTimestamp(clock_.LocalNow(), stamp);
  std::memcpy(record, stamp, TRACE_TIMESTAMP_LENGTH);
  const std::size_t lineLength = strnlen(line, sizeof record - TRACE_TIMESTAMP_LENGTH);
  std::memcpy(record + TRACE_TIMESTAMP_LENGTH, line, lineLength);
  const std::size_t length = TRACE_TIMESTAMP_LENGTH + lineLength;

  if (!sizeKnown_) sizeKnown_ = storage_.CurrentSize(&size_);
  // A file that would pass the limit becomes the earlier one; an empty file takes the line whatever its size.
  if (sizeKnown_ && size_ > 0 && size_ + length > limit_) {
    if (storage_.KeepAsPrevious()) {
      size_ = 0;
    } else {
      sizeKnown_ = false;
    }
  }

  if (storage_.Append(record, length)) {
    size_ += length;
  } else {
    sizeKnown_ = false;
  }
}
