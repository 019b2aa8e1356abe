#include "report/archive.hpp"

#include "util/own.hpp"

#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

namespace archive {

namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kBlock = 512;
constexpr std::size_t kLongLine = 16 << 20;

// The compressed stream into a file descriptor. The first failure sticks.
class xz_writer {
public:
  explicit xz_writer(int fd) : fd_(fd), out_(kChunk) {}
  ~xz_writer() { lzma_end(&strm_); }

  bool start(std::uint32_t threads) {
    if (threads == 0)
      threads = std::clamp<std::uint32_t>(lzma_cputhreads(), 1, 4);
    lzma_ret rc;
    if (threads > 1) {
      lzma_mt mt{};
      mt.threads = threads;
      mt.preset = kLevel;
      mt.check = LZMA_CHECK_CRC64;
      rc = lzma_stream_encoder_mt(&strm_, &mt);
      if (rc == LZMA_OK)
        return true;
    }
    rc = lzma_easy_encoder(&strm_, kLevel, LZMA_CHECK_CRC64);
    if (rc != LZMA_OK)
      fail(rc == LZMA_MEM_ERROR ? ENOMEM : EINVAL);
    return ok();
  }

  bool write(const void *data, std::size_t size) { return code(data, size, LZMA_RUN); }
  bool finish() { return code(nullptr, 0, LZMA_FINISH); }
  bool ok() const { return error_ == 0; }
  int error() const { return error_; }
  std::uint64_t written() const { return tar_bytes_; }

private:
  void fail(int e) {
    if (!error_)
      error_ = e ? e : EIO;
  }

  bool flush_out(std::size_t n) {
    const char *p = reinterpret_cast<const char *>(out_.data());
    while (n > 0) {
      const ssize_t w = ::write(fd_, p, n);
      if (w < 0 && errno == EINTR)
        continue;
      if (w <= 0) {
        fail(w < 0 ? errno : ENOSPC);
        return false;
      }
      p += w;
      n -= static_cast<std::size_t>(w);
    }
    return true;
  }

  bool code(const void *data, std::size_t size, lzma_action action) {
    if (!ok())
      return false;
    tar_bytes_ += size;
    strm_.next_in = static_cast<const std::uint8_t *>(data);
    strm_.avail_in = size;
    for (;;) {
      strm_.next_out = out_.data();
      strm_.avail_out = out_.size();
      const lzma_ret rc = lzma_code(&strm_, action);
      if (rc != LZMA_OK && rc != LZMA_STREAM_END) {
        fail(rc == LZMA_MEM_ERROR ? ENOMEM : EIO);
        return false;
      }
      if (!flush_out(out_.size() - strm_.avail_out))
        return false;
      if (rc == LZMA_STREAM_END || (action == LZMA_RUN && strm_.avail_in == 0))
        return true;
    }
  }

  int fd_;
  std::vector<std::uint8_t> out_;
  lzma_stream strm_ = LZMA_STREAM_INIT;
  int error_ = 0;
  std::uint64_t tar_bytes_ = 0;
};

// width - 1 octal digits with leading zeros and a NUL; the caller keeps value in range.
void octal(char *field, std::size_t width, std::uint64_t value) {
  field[width - 1] = '\0';
  for (std::size_t i = width - 1; i-- > 0; value >>= 3)
    field[i] = static_cast<char>('0' + (value & 7));
}

// One ustar header; a name too long for it goes first into a pax record.
bool put_header(xz_writer &xz, const std::string &name, std::uint64_t size, std::time_t mtime,
                char type = '0') {
  if (name.size() > 100) {
    std::string record = " path=" + name + "\n";
    std::size_t len = record.size();
    while (std::to_string(len).size() + record.size() != len)
      len = std::to_string(len).size() + record.size();
    record = std::to_string(len) + record;
    if (!put_header(xz, "PaxHeader", record.size(), mtime, 'x'))
      return false;
    record.resize((record.size() + kBlock - 1) / kBlock * kBlock, '\0');
    if (!xz.write(record.data(), record.size()))
      return false;
  }
  char h[kBlock] = {};
  std::memcpy(h, name.data(), std::min<std::size_t>(name.size(), 100));
  octal(h + 100, 8, 0644);
  octal(h + 108, 8, 0);
  octal(h + 116, 8, 0);
  // Sizes beyond the 11 octal digits take the base-256 form.
  if (size < 077777777777ULL) {
    octal(h + 124, 12, size);
  } else {
    h[124] = static_cast<char>(0x80);
    for (int i = 0; i < 8; ++i)
      h[135 - i] = static_cast<char>((size >> (8 * i)) & 0xff);
  }
  octal(h + 136, 12, static_cast<std::uint64_t>(std::max<std::time_t>(mtime, 0)));
  std::memset(h + 148, ' ', 8);
  h[156] = type;
  std::memcpy(h + 257, "ustar", 6);
  std::memcpy(h + 263, "00", 2);
  unsigned sum = 0;
  for (unsigned char c : h)
    sum += c;
  std::snprintf(h + 148, 8, "%06o", sum);
  return xz.write(h, sizeof h);
}

bool pad(xz_writer &xz, std::uint64_t size) {
  static const char zeros[kBlock] = {};
  const std::size_t rest = static_cast<std::size_t>(size % kBlock);
  return rest == 0 || xz.write(zeros, kBlock - rest);
}

struct log_file {
  std::string name;
  own::fd fd{-1};
  struct stat st {};
  std::uint64_t redacted = 0;
};

// Reads the whole file from the start and hands the redacted text, in whole lines, to sink.
template <typename Sink>
failure redact_file(log_file &f, const redact::redactor &r, progress &prog, bool counted,
                    int *error, Sink &&sink) {
  if (lseek(f.fd.get(), 0, SEEK_SET) != 0) {
    *error = errno;
    return failure::read_failed;
  }
  std::string buf, out;
  buf.reserve(kChunk * 2);
  std::uint64_t read_total = 0;
  std::vector<char> chunk(kChunk);
  for (;;) {
    if (prog.cancel.load())
      return failure::cancelled;
    const ssize_t n = read(f.fd.get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      *error = errno;
      return failure::read_failed;
    }
    read_total += static_cast<std::uint64_t>(n);
    if (counted)
      prog.done += static_cast<std::uint64_t>(n);
    const std::size_t before = buf.size();
    buf.append(chunk.data(), static_cast<std::size_t>(n));
    // Up to the last line break read: only the new bytes are looked at, so a long line costs
    // no more than a short one. One longer than kLongLine goes as it is.
    const void *brk = memrchr(buf.data() + before, '\n', static_cast<std::size_t>(n));
    std::size_t cut =
        brk ? static_cast<std::size_t>(static_cast<const char *>(brk) - buf.data()) + 1 : 0;
    if (n == 0 || buf.size() > kLongLine)
      cut = buf.size();
    if (cut > 0) {
      out.clear();
      r.append(std::string_view(buf).substr(0, cut), out);
      if (!sink(out))
        return failure::none; // the writer's own failure, read by the caller
      buf.erase(0, cut);
    }
    if (n == 0)
      break;
  }
  struct stat now;
  if (read_total != static_cast<std::uint64_t>(f.st.st_size) || fstat(f.fd.get(), &now) != 0 ||
      now.st_size != f.st.st_size)
    return failure::log_changed;
  return failure::none;
}

result fail_with(failure why, int error = 0, std::string file = {}) {
  result r;
  r.why = why;
  r.error = error;
  r.file = std::move(file);
  return r;
}

failure write_failure(int error) {
  if (error == ENOSPC || error == EDQUOT)
    return failure::disk_full;
  return error == ENOMEM ? failure::no_memory : failure::write_failed;
}

result make_into(const request &req, const std::string &base, int out_fd, progress &prog,
                 std::vector<struct stat> &stats) {
  const redact::redactor r(req.who);
  std::vector<log_file> files(req.files.size());
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < req.files.size(); ++i) {
    log_file &f = files[i];
    f.name = req.files[i];
    const std::string path = req.dir + "/" + f.name;
    f.fd = own::fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!f.fd)
      return fail_with(errno == ENOENT ? failure::log_missing : failure::read_failed, errno,
                       f.name);
    if (fstat(f.fd.get(), &f.st) != 0 || !S_ISREG(f.st.st_mode))
      return fail_with(failure::read_failed, S_ISREG(f.st.st_mode) ? errno : EINVAL, f.name);
    total += static_cast<std::uint64_t>(f.st.st_size);
    stats.push_back(f.st);
  }
  prog.total = total;

  xz_writer xz(out_fd);
  if (!xz.start(req.threads))
    return fail_with(write_failure(xz.error()), xz.error());
  int error = 0;
  const std::string facts = legend() + "\n" + r(req.system_txt);
  if (!put_header(xz, base + "/system.txt", facts.size(), req.when) ||
      !xz.write(facts.data(), facts.size()) || !pad(xz, facts.size()))
    return fail_with(write_failure(xz.error()), xz.error());
  for (log_file &f : files) {
    // First the size the redacted copy will have, which the header needs; then the copy.
    failure why = redact_file(f, r, prog, false, &error, [&f](const std::string &text) {
      f.redacted += text.size();
      return true;
    });
    if (why != failure::none)
      return fail_with(why, error, f.name);
    if (!put_header(xz, base + "/" + f.name, f.redacted, f.st.st_mtime))
      return fail_with(write_failure(xz.error()), xz.error());
    const std::uint64_t before = xz.written();
    why = redact_file(f, r, prog, true, &error, [&xz](const std::string &text) {
      return xz.write(text.data(), text.size());
    });
    if (!xz.ok())
      return fail_with(write_failure(xz.error()), xz.error());
    if (why != failure::none)
      return fail_with(why, error, f.name);
    if (xz.written() - before != f.redacted)
      return fail_with(failure::log_changed, 0, f.name);
    if (!pad(xz, f.redacted))
      return fail_with(write_failure(xz.error()), xz.error());
  }
  static const char end[2 * kBlock] = {};
  if (!xz.write(end, sizeof end) || !xz.finish())
    return fail_with(write_failure(xz.error()), xz.error());
  if (fsync(out_fd) != 0)
    return fail_with(write_failure(errno), errno);
  return {};
}

} // namespace

std::vector<std::string> log_files(const std::string &dir, const std::string &prefix) {
  std::vector<std::string> names;
  for (int i = 0;; ++i) {
    std::string name = prefix + "." + std::to_string(i);
    struct stat st;
    if (lstat((dir + "/" + name).c_str(), &st) != 0)
      break;
    if (S_ISREG(st.st_mode) && st.st_uid == geteuid())
      names.push_back(std::move(name));
  }
  std::reverse(names.begin(), names.end());
  return names;
}

std::string archive_name(const std::string &prefix, std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  // Not beginning with the log's name: choosing that log again offers such files for deletion.
  return "debug-" + prefix + "-" + stamp + ".tar.xz";
}

std::string legend() {
  return std::string("Names taken out of the log files and of this file:\n  ") +
         std::string(redact::kUserMark) + "  the user's name\n  " + std::string(redact::kHomeMark) +
         "  the home folder (" + std::string(redact::kHome2Mark) + ": a second one)\n  " +
         std::string(redact::kHostMark) +
         "  the host name\nA name written in another letter case says how: «USER:UPPER», "
         "«USER:lower», «USER:Title», or A (upper) and a (lower) for each of its letters; \":N\" "
         "after HOST: its first N bytes, as Windows names the computer.\nA \"«\" of the original "
         "text is written twice. Putting the names back in place of the marks gives every line as "
         "it was.\nNot taken out: IP addresses, the machine id, the full name in the password "
         "database, and names of other people.\n";
}

namespace {

// The umask, read without changing it: other threads may be making files meanwhile.
std::optional<mode_t> current_umask() {
  own::file status(std::fopen("/proc/self/status", "re"));
  char line[256];
  while (status && std::fgets(line, sizeof line, status.get()))
    if (unsigned mask = 0; std::sscanf(line, "Umask: %o", &mask) == 1)
      return static_cast<mode_t>(mask & 0777);
  return std::nullopt;
}

// Moves temp to the first free one of the archive's names; never over anything there.
result place(const std::string &temp, const std::string &dir, const std::string &name) {
  for (int number = 1; number <= kNames; ++number) {
    const std::string path = dir + "/" + numbered_name(name, number);
    int rc = renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // No such rename here: a second name fails where one is there, then the first goes.
      rc = link(temp.c_str(), path.c_str());
      if (rc == 0)
        unlink(temp.c_str());
    }
    if (rc == 0) {
      result res;
      res.path = path;
      return res;
    }
    if (errno != EEXIST)
      return fail_with(write_failure(errno), errno);
  }
  result res = fail_with(failure::name_taken, EEXIST, name);
  struct stat st;
  res.others = lstat((dir + "/" + name).c_str(), &st) == 0 && st.st_uid != geteuid();
  return res;
}

} // namespace

std::string numbered_name(const std::string &name, int number) {
  if (number <= 1)
    return name;
  constexpr std::string_view ext = ".tar.xz";
  const std::size_t cut =
      name.size() >= ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0
          ? name.size() - ext.size()
          : name.size();
  return name.substr(0, cut) + "-" + std::to_string(number) + name.substr(cut);
}

mode_t archive_mode(mode_t umask, gid_t gid, const std::vector<struct stat> &logs) {
  mode_t mode = 0666 & ~umask;
  for (const struct stat &st : logs) {
    mode &= st.st_mode & 0666;
    // Readable by the log's group is not readable by the archive's.
    if (st.st_gid != gid)
      mode &= ~static_cast<mode_t>(0060);
  }
  return mode;
}

result make(const request &req, const std::string &name, progress &prog) {
  std::string temp = req.dir + "/." + name + ".XXXXXX";
  // mkostemp makes it 0600: nobody else can open it while it is written.
  own::fd out(mkostemp(temp.data(), O_CLOEXEC));
  if (!out)
    return fail_with(failure::folder_unwritable, errno);
  {
    std::lock_guard<std::mutex> hold(prog.temp_lock);
    prog.temp = temp;
  }
  const std::string base = name.substr(0, name.size() - std::strlen(".tar.xz"));
  std::vector<struct stat> stats;
  result res;
  try {
    res = make_into(req, base, out.get(), prog, stats);
  } catch (const std::bad_alloc &) {
    res = fail_with(failure::no_memory, ENOMEM);
  }
  struct stat own_st {};
  if (res.why == failure::none) {
    // Without the umask only the user may read it.
    const mode_t mask = current_umask().value_or(077);
    if (fstat(out.get(), &own_st) != 0 ||
        fchmod(out.get(), archive_mode(mask, own_st.st_gid, stats)) != 0)
      res = fail_with(write_failure(errno), errno);
  }
  if (res.why == failure::none && close(out.release()) != 0)
    res = fail_with(write_failure(errno), errno);
  if (res.why == failure::none)
    res = place(temp, req.dir, name);
  if (res.why != failure::none)
    unlink(temp.c_str());
  std::lock_guard<std::mutex> hold(prog.temp_lock);
  prog.temp.clear();
  return res;
}

} // namespace archive
