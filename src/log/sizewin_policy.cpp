#include "log/sizewin_policy.hpp"

#include <log4c/appender_type_rollingfile.h>
#include <log4c/logging_event.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

namespace sizewin_policy {

namespace {

sizewin_udata *udata_of(log4c_rollingpolicy_t *policy) {
  return policy ? static_cast<sizewin_udata *>(log4c_rollingpolicy_get_udata(policy)) : nullptr;
}

std::string name_of(const sizewin_udata &sw, std::int64_t index) {
  return file_name(sw.logdir, sw.prefix, index);
}

// An entry is there, whatever it is; a dangling link is there too.
bool entry_exists(const std::string &path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

bool own_regular(const struct stat &st) {
  // A second name means the content is someone else's too (a hard link planted beside it).
  return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

enum class entry { absent, own, foreign };

// What is at path, looked at without following a link.
entry entry_of(const std::string &path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0)
    return errno == ENOENT ? entry::absent : entry::foreign;
  return own_regular(st) ? entry::own : entry::foreign;
}

// Where records go when index 0 cannot be opened: a close-on-exec duplicate of standard
// error, so that whoever closes the stream (the appender does at its close) never closes
// the process's own stderr. Only when no duplicate can be made is stderr itself handed out.
FILE *stderr_fallback(bool *shared) {
  int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (fd >= 0) {
    if (FILE *fp = fdopen(fd, "w")) {
      setvbuf(fp, nullptr, _IONBF, 0);
      *shared = false;
      return fp;
    }
    close(fd);
  }
  *shared = true;
  return stderr;
}

// The first line of the record at [from, to) of fd, cut to a length a message can show.
std::string record_text(int fd, off_t from, off_t to) {
  char buf[161];
  const ssize_t n = pread(fd, buf, static_cast<std::size_t>(std::min<off_t>(to - from, 160)), from);
  if (n <= 0)
    return "";
  std::size_t len = static_cast<std::size_t>(n);
  if (const void *brk = std::memchr(buf, '\n', len))
    len = static_cast<std::size_t>(static_cast<const char *>(brk) - buf);
  // Not in the middle of a UTF-8 character.
  if (len == static_cast<std::size_t>(n) && len == 160)
    while (len > 0 && (static_cast<unsigned char>(buf[len]) & 0xC0) == 0x80)
      --len;
  return std::string(buf, len);
}

// A log file's stream: the appender writes records with fprintf, and ignores what it returns,
// so this is where a failed write is seen. It knows where the last whole record ends.
struct log_stream {
  int fd;
  sizewin_udata *sw;
  std::string path;
  off_t offset = 0;      // where the next byte goes
  off_t good_end = 0;    // after the header or the last whole record
  off_t last_start = -1; // where that record begins; -1 for none in this file
  std::int64_t owed = 0; // bytes of the record being written still to come
  bool header = false;   // the header is being written
  log_stream *prev = nullptr, *next = nullptr;
};

// The streams still open. log4c never closes the last one of a set-up before the process ends;
// this keeps them known (to leak checkers too) rather than lost.
std::mutex streams_lock;
log_stream *open_streams = nullptr;

void track(log_stream *s, bool open) {
  std::lock_guard<std::mutex> hold(streams_lock);
  if (open) {
    s->next = open_streams;
    if (open_streams)
      open_streams->prev = s;
    open_streams = s;
    return;
  }
  (s->prev ? s->prev->next : open_streams) = s->next;
  if (s->next)
    s->next->prev = s->prev;
}

ssize_t stream_write(void *cookie, const char *buf, std::size_t size) {
  auto *s = static_cast<log_stream *>(cookie);
  sizewin_udata &sw = *s->sw;
  if (sw.stop.stopped) {
    errno = sw.stop.error;
    return 0;
  }
  std::size_t done = 0;
  int error = 0;
  while (done < size) {
    const ssize_t n = write(s->fd, buf + done, size - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  s->offset += static_cast<off_t>(done);
  if (error == 0) {
    if (s->header) {
      s->good_end = s->offset;
    } else {
      if (s->owed <= 0)
        s->owed = sw.next_record > 0 ? sw.next_record : static_cast<std::int64_t>(size);
      s->owed -= static_cast<std::int64_t>(size);
      if (s->owed <= 0) {
        s->last_start = s->good_end;
        s->good_end = s->offset;
        sw.record_pending = false;
      }
    }
    return static_cast<ssize_t>(size);
  }
  // What got in of the record (or the header) goes again: the file ends with a whole record.
  if (s->offset > s->good_end && ftruncate(s->fd, s->good_end) == 0)
    s->offset = s->good_end;
  sw.stop.stopped = true;
  sw.stop.error = error;
  sw.stop.file = s->path;
  if (s->last_start >= 0)
    sw.stop.last_record = record_text(s->fd, s->last_start, s->good_end);
  sw.stop.lost = s->header ? (sw.record_pending ? 1 : 0) : 1;
  errno = error;
  return 0;
}

int stream_close(void *cookie) {
  auto *s = static_cast<log_stream *>(cookie);
  // The last record of a file that is done with is the last one so far, wherever it goes.
  if (s->last_start >= 0 && !s->sw->stop.stopped)
    s->sw->stop.last_record = record_text(s->fd, s->last_start, s->good_end);
  const int rc = close(s->fd);
  track(s, false);
  delete s;
  return rc;
}

// An unbuffered stream on fd, which it then owns; nullptr (fd left open) when none can be made.
FILE *open_stream(sizewin_udata &sw, int fd, const std::string &path, log_stream **stream) {
  auto *s = new (std::nothrow) log_stream{fd, &sw, path};
  if (!s)
    return nullptr;
  *stream = s;
  struct stat st {};
  if (fstat(fd, &st) == 0)
    s->offset = s->good_end = st.st_size; // appended to: what is there stays as it is
  FILE *fp = fopencookie(s, "w", {nullptr, stream_write, nullptr, stream_close});
  if (!fp) {
    delete s;
    return nullptr;
  }
  track(s, true);
  setvbuf(fp, nullptr, _IONBF, 0);
  return fp;
}

// Step: delete the oldest file. One that is already gone counts as deleted.
bool delete_oldest(const sizewin_udata &sw, std::int64_t index) {
  return unlink(name_of(sw, index).c_str()) == 0 || errno == ENOENT;
}

// Step: close the current stream. The fallback is closed only when it is our own duplicate.
// Returns false when a log file failed to close.
bool close_current(const sizewin_udata &sw, FILE **fpp) {
  FILE *fp = *fpp;
  *fpp = nullptr;
  if (!fp)
    return true;
  if (sw.flags & flag_start_failed) {
    if (!(sw.flags & flag_shared_stderr) && fp != stderr)
      std::fclose(fp);
    return true;
  }
  return std::fclose(fp) == 0;
}

// Moves from to to, never over an entry at to (someone else's, planted since it was looked
// at). Where the file system cannot promise that, to is looked at just before.
int move_no_replace(const char *from, const char *to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
    return 0;
  if (errno != EINVAL && errno != ENOSYS)
    return -1;
  if (entry_exists(to)) {
    errno = EEXIST;
    return -1;
  }
  return std::rename(from, to);
}

// Step: move index i to i + 1 for i from top down to 0. A missing file has nothing to move
// (someone removed it), so the shift goes on past it. Stops at the first move that fails
// and returns that index (its errno in *err), or -1 when everything moved.
std::int64_t shift_up(const sizewin_udata &sw, std::int64_t top, int *err) {
  for (std::int64_t i = top; i >= 0; --i) {
    if (move_no_replace(name_of(sw, i).c_str(), name_of(sw, i + 1).c_str()) != 0 &&
        errno != ENOENT) {
      *err = errno;
      return i;
    }
  }
  return -1;
}

std::string failure(const sizewin_udata &sw, std::int64_t index, int err) {
  return name_of(sw, index) + "：" + std::strerror(err);
}

// Says once per failure, not at every record that tries the roll again.
void say_once(sizewin_udata &sw, int flag, const std::string &message) {
  if (sw.flags & flag)
    return;
  sw.flags |= flag;
  std::fputs(message.c_str(), stderr);
}

void take_fallback(sizewin_udata &sw, FILE **fpp) {
  bool shared = false;
  *fpp = stderr_fallback(&shared);
  sw.flags |= flag_start_failed;
  if (shared)
    sw.flags |= flag_shared_stderr;
  else
    sw.flags &= ~flag_shared_stderr;
}

// Index 0, opened without following a link, or -1. Where nothing is there a new file is made
// (*made); otherwise only the user's own file there is opened, for appending.
int open_zero_fd(const std::string &path, bool *made) {
  constexpr int kFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  *made = true;
  int fd = open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666); // the umask decides the rest
  if (fd >= 0 || errno != EEXIST)
    return fd;
  *made = false;
  if (entry_of(path) != entry::own)
    return -1;
  fd = open(path.c_str(), kFlags | O_APPEND);
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || !own_regular(st))) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

// Step: open index 0 unbuffered and close-on-exec. A fresh start writes the header into a new
// file; when index 0 could not be moved away it is appended to instead, so nothing in it is
// lost. The stream is never left null: standard error takes over when the file cannot open.
// Returns 0 for a fresh start, 1 for appending or the fallback (both let the record through).
int open_zero(sizewin_udata &sw, FILE **fpp, bool fresh) {
  const std::string path = name_of(sw, 0);
  bool made = false;
  int fd = -1;
  if (entry_of(path) == entry::foreign)
    say_once(sw, flag_foreign_said,
             "错误：" + path + " 不是您自己的普通文件，日志不会写入它；记录改写到标准错误\n");
  else
    fd = open_zero_fd(path, &made);
  const int open_error = fd < 0 ? errno : 0;
  log_stream *stream = nullptr;
  FILE *fp = fd >= 0 ? open_stream(sw, fd, path, &stream) : nullptr;
  if (!fp) {
    if (fd >= 0)
      close(fd);
    // A file that cannot be made on a full disk is where the log stopped.
    if ((open_error == ENOSPC || open_error == EDQUOT) && !sw.stop.stopped)
      sw.stop = {true, open_error, path, sw.stop.last_record, 0, true};
    take_fallback(sw, fpp);
    return 1;
  }
  if (made && sw.header) {
    stream->header = true;
    std::fputs(sw.header, fp);
    stream->header = false;
  }
  sw.flags &= ~(flag_start_failed | flag_shared_stderr);
  *fpp = fp;
  return fresh && made ? 0 : 1;
}

// The first entry from index top down to 0 that is not the user's own regular file, or -1.
std::int64_t first_foreign(const sizewin_udata &sw, std::int64_t top) {
  for (std::int64_t i = top; i >= 0; --i)
    if (entry_of(name_of(sw, i)) == entry::foreign)
      return i;
  return -1;
}

int sizewin_init(log4c_rollingpolicy_t *policy, rollingfile_udata_t *rfup) {
  sizewin_udata *sw = udata_of(policy);
  if (!sw || !rfup)
    return -1;
  const char *dir = rollingfile_udata_get_logdir(rfup);
  const char *prefix = rollingfile_udata_get_files_prefix(rfup);
  if (!dir || !prefix)
    return -1;
  sw->logdir = dir;
  sw->prefix = prefix;
  if (sw->max_num_files < 1)
    sw->max_num_files = 1;
  // The files in use are the unbroken run from index 0.
  sw->last_index = -1;
  while (sw->last_index + 1 < sw->max_num_files && entry_exists(name_of(*sw, sw->last_index + 1)))
    ++sw->last_index;
  return 0;
}

int sizewin_is_triggering_event(log4c_rollingpolicy_t *policy, const log4c_logging_event_t *event,
                                long current_file_size) {
  sizewin_udata *sw = udata_of(policy);
  if (!sw || !event)
    return 0;
  const char *rendered = event->evt_rendered_msg;
  std::int64_t len = rendered ? static_cast<std::int64_t>(std::strlen(rendered)) : 0;
  // Once the log has stopped nothing more goes into the files: no roll either.
  if (sw->stop.stopped) {
    ++sw->stop.lost;
    return 0;
  }
  sw->next_record = len;
  sw->record_pending = true;
  if (sw->file_maxsize <= 0)
    return 0;
  return static_cast<std::int64_t>(current_file_size) + len > sw->file_maxsize;
}

int sizewin_rollover(log4c_rollingpolicy_t *policy, FILE **fpp) {
  if (!fpp)
    return -1;
  sizewin_udata *sw = udata_of(policy);
  if (!sw) {
    if (!*fpp) {
      bool shared = false;
      *fpp = stderr_fallback(&shared);
    }
    return 1;
  }

  if (sw->last_index < 0) {
    close_current(*sw, fpp);
    sw->last_index = 0;
    return open_zero(*sw, fpp, true);
  }

  // Index 0 is started afresh only when every step before succeeded; otherwise it still
  // holds records that were not moved away, and the next roll tries again. An entry that is
  // not the user's own file is never deleted, moved or moved over: the roll is refused.
  std::int64_t top = sw->last_index;
  std::string why; // the step that failed, with the system's reason
  bool refused = false;
  // The entry index top would move onto is looked at too: a planted one there would only make
  // the move fail, with a reason that names the user's own file.
  if (std::int64_t at = first_foreign(*sw, std::min(top + 1, sw->max_num_files - 1)); at >= 0) {
    const std::string zero = name_of(*sw, 0);
    say_once(*sw, flag_foreign_said,
             "错误：" + name_of(*sw, at) + " 不是您自己的普通文件，日志不会移动、删除或写入它；" +
                 (entry_of(zero) == entry::foreign
                      ? std::string("记录改写到标准错误\n")
                      : "日志不再轮转，记录继续追加到 " + zero + "\n"));
    why = "refused";
    refused = true;
  } else if (top >= sw->max_num_files - 1) {
    if (delete_oldest(*sw, top))
      --top;
    else
      why = failure(*sw, top, errno);
  }
  if (!close_current(*sw, fpp) && why.empty())
    why = failure(*sw, 0, errno);
  if (why.empty()) {
    int err = 0;
    std::int64_t failed_at = shift_up(*sw, top, &err);
    // Files above a failed rename have moved up already: the highest index is top + 1, and
    // keeping the old one would let the next roll rename over the file moved last.
    if (failed_at < top)
      sw->last_index = top + 1;
    if (failed_at >= 0)
      why = failure(*sw, failed_at, err);
  }
  if (why.empty())
    sw->flags &= ~flag_roll_said;
  else if (!refused)
    say_once(*sw, flag_roll_said,
             "错误：日志无法轮转（" + why + "），记录继续追加到 " + name_of(*sw, 0) + "\n");
  const bool moved = why.empty();
  return open_zero(*sw, fpp, moved);
}

// log4c calls fini both when the appender closes and when the policy is deleted.
int sizewin_fini(log4c_rollingpolicy_t *policy) {
  if (policy) {
    delete udata_of(policy);
    log4c_rollingpolicy_set_udata(policy, nullptr);
  }
  return 0;
}

} // namespace

const log4c_rollingpolicy_type_t log4c_rollingpolicy_type_sizewin = {
    "sizewin", sizewin_init, sizewin_is_triggering_event, sizewin_rollover, sizewin_fini,
};

sizewin_udata *sizewin_make_udata() { return new (std::nothrow) sizewin_udata; }

int sizewin_udata_set_file_maxsize(sizewin_udata *swup, std::int64_t max_size) {
  if (!swup)
    return -1;
  swup->file_maxsize = max_size;
  return 0;
}

int sizewin_udata_set_max_num_files(sizewin_udata *swup, std::int64_t max_num) {
  if (!swup)
    return -1;
  swup->max_num_files = max_num < 1 ? 1 : max_num;
  return 0;
}

void sizewin_udata_set_file_header(sizewin_udata *swup, const char *header) {
  if (swup)
    swup->header = header;
}

std::string file_name(const std::string &dir, const std::string &prefix, std::int64_t index) {
  return dir + "/" + prefix + "." + std::to_string(index);
}

} // namespace sizewin_policy
