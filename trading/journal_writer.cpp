// The journal's writer thread: framing checksums, files, writes, syncs and their failures.
#include "journal_writer.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkor::trading::journal {

namespace {

constexpr std::size_t MAX_QUEUED = 64u << 20;  // beyond this the loop drops batches instead of queueing them
constexpr std::uint64_t MAX_RECORD = 64u << 20;
constexpr auto LOOK = std::chrono::milliseconds(50);  // the writer looks for batches at least this often

std::array<std::array<std::uint32_t, 256>, 8> crc_tables() {
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; ++i)
        for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

const auto TABLES = crc_tables();

// Reads an unsigned varint at `p`; 0 when it runs past `end` or is longer than ten bytes.
std::size_t get_varint(const unsigned char* p, const unsigned char* end, std::uint64_t& value) {
    value = 0;
    for (std::size_t i = 0; i < 10 && p + i < end; ++i) {
        value |= std::uint64_t(p[i] & 0x7F) << (7 * i);
        if (!(p[i] & 0x80)) return i + 1;
    }
    return 0;
}

// Fills in the CRC of every frame in `bytes`.
void seal(std::string& bytes) {
    auto* p = reinterpret_cast<unsigned char*>(bytes.data());
    auto* end = p + bytes.size();
    while (p < end) {
        std::uint64_t length;
        std::size_t n = get_varint(p, end, length);
        std::uint32_t crc = crc32(p, n + length);
        std::memcpy(p + n + length, &crc, 4);  // little-endian machines only, as the rest of the build
        p += n + length + 4;
    }
}

// The end of the last whole record of an existing file (after the magic), reading it from the start.
std::uint64_t whole_records_end(int fd, std::uint64_t size) {
    std::string content(size, '\0');
    std::uint64_t got = 0;
    while (got < size) {
        ssize_t n = ::pread(fd, content.data() + got, size - got, (off_t)got);
        if (n <= 0) break;
        got += (std::uint64_t)n;
    }
    auto* base = reinterpret_cast<const unsigned char*>(content.data());
    std::uint64_t at = sizeof MAGIC;
    while (at < got) {
        std::uint64_t length;
        std::size_t n = get_varint(base + at, base + got, length);
        if (n == 0 || length == 0 || length > MAX_RECORD || at + n + length + 4 > got) break;
        at += n + length + 4;
    }
    return at;
}

std::string with_suffix(const std::string& name, int k) {
    if (k == 1) return name;
    auto dot = name.rfind('.');
    std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot);
    return stem + "-" + std::to_string(k) + ext;
}

}  // namespace

std::uint32_t crc32(const unsigned char* p, std::size_t n, std::uint32_t crc) {
    crc = ~crc;
    while (n >= 8) {
        std::uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + 4, 4);
        a ^= crc;
        crc = TABLES[7][a & 0xFF] ^ TABLES[6][(a >> 8) & 0xFF] ^ TABLES[5][(a >> 16) & 0xFF] ^ TABLES[4][a >> 24] ^
              TABLES[3][b & 0xFF] ^ TABLES[2][(b >> 8) & 0xFF] ^ TABLES[1][(b >> 16) & 0xFF] ^ TABLES[0][b >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) crc = TABLES[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void put_varint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(char(v | 0x80));
        v >>= 7;
    }
    out.push_back(char(v));
}

void put_frame(std::string& out, unsigned char kind, std::string_view body) {
    put_varint(out, body.size() + 1);
    out.push_back(char(kind));
    out.append(body);
    out.append(4, '\0');
}

namespace {

// This process's id, renewed in a forked child, so that a writer knows without a system call whether its
// thread (and the state of its mutex) is this process's.
std::atomic<pid_t> process{0};

void renew_process() { process.store(::getpid(), std::memory_order_relaxed); }

pid_t this_process() {
    static std::once_flag once;
    std::call_once(once, [] {
        renew_process();
        ::pthread_atfork(nullptr, nullptr, renew_process);
    });
    return process.load(std::memory_order_relaxed);
}

}  // namespace

Writer::Writer(std::string folder) : folder_(std::move(folder)), owner_(this_process()), thread_([this] { loop(); }) {}

bool Writer::orphan() const { return owner_ != process.load(std::memory_order_relaxed); }

Writer::~Writer() { finish(); }

void Writer::push(Op op) {
    if (orphan()) return;
    bool wake;
    {
        std::lock_guard lock(mutex_);
        if (finishing_) return;
        if (op.type == Op::DATA && queued_bytes_ + op.bytes.size() > MAX_QUEUED) {
            // The disk cannot keep up (or hangs): drop rather than grow without bound.
            lost_records_ += op.records;
            lost_bytes_ += op.bytes.size();
            lost_reason_ = "the writer fell behind by more than 64 MiB";
            return;
        }
        queued_bytes_ += op.bytes.size();
        if (op.type == Op::FINISH) finishing_ = true;
        // Small batches wait for the writer's next look (every 50 ms at most): waking it costs a system
        // call, more than encoding a pass's records.
        auto now = std::chrono::steady_clock::now();
        wake = op.type != Op::DATA || queued_bytes_ >= (64u << 10) || now - last_wake_ >= LOOK;
        if (wake) last_wake_ = now;
        ops_.push_back(std::move(op));
    }
    if (wake) wake_.notify_one();
}

void Writer::open(std::string name, std::string header) { push({Op::OPEN, std::move(name), std::move(header), 0}); }

void Writer::data(std::string bytes, std::uint64_t records) {
    if (!bytes.empty()) push({Op::DATA, {}, std::move(bytes), records});
}

void Writer::finish() {
    if (orphan()) {
        // A forked child (exiting, or dropping its copy of the session): the thread is its parent's, the
        // file too. Nothing is written, nothing joined; the handle is left behind rather than destroyed.
        if (thread_.joinable()) new std::thread(std::move(thread_));
        return;
    }
    push({Op::FINISH, {}, {}, 0});
    if (thread_.joinable()) thread_.join();
}

bool Writer::take_failure(std::string& message) {
    if (orphan()) return false;
    std::lock_guard lock(mutex_);
    if (!failure_new_) return false;
    failure_new_ = false;
    message = failure_;
    return true;
}

bool Writer::take_recovery(std::string& message) {
    if (orphan()) return false;
    std::lock_guard lock(mutex_);
    if (!recovery_new_) return false;
    recovery_new_ = false;
    message = recovery_;
    return true;
}

std::string Writer::file() {
    if (orphan()) return {};
    std::lock_guard lock(mutex_);
    return file_;
}

void Writer::loop() {
    using clock = std::chrono::steady_clock;
    auto last_sync = clock::now();
    for (;;) {
        std::deque<Op> ops;
        {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, LOOK, [&] { return !ops_.empty(); });
            ops.swap(ops_);
            queued_bytes_ = 0;
        }
        bool done = false;
        for (Op& op : ops) {
            if (op.type == Op::FINISH) {
                done = true;
                break;
            }
            execute(op);
        }
        if (done) {
            close_file();
            return;
        }
        if (dirty_ && clock::now() - last_sync >= std::chrono::seconds(1)) {
            sync();
            last_sync = clock::now();
        }
    }
}

void Writer::execute(Op& op) {
    if (op.type == Op::OPEN) {
        close_file();
        {
            std::lock_guard lock(mutex_);
            reported_ = recovery_reported_ = false;
        }
        name_ = op.name;
        header_ = std::move(op.bytes);
        open_file(name_);
        return;
    }
    if (fd_ < 0 && !name_.empty()) open_file(name_);  // the folder may be writable again
    if (fd_ < 0) {
        std::lock_guard lock(mutex_);
        lost_records_ += op.records;
        lost_bytes_ += op.bytes.size();
        return;
    }
    // What was lost before is told before anything after it; while that cannot be written, this goes too.
    if (lost_pending()) write_incomplete();
    if (fd_ < 0 || lost_pending()) {
        std::lock_guard lock(mutex_);
        lost_records_ += op.records;
        lost_bytes_ += op.bytes.size();
        return;
    }
    seal(op.bytes);
    if (!write_all(op.bytes)) {
        std::lock_guard lock(mutex_);
        lost_records_ += op.records;
        lost_bytes_ += op.bytes.size();
    }
}

bool Writer::open_file(const std::string& name) {
    ::mkdir(folder_.c_str(), 0700);  // an existing folder keeps its permissions
    for (int k = 1; k < 100; ++k) {
        std::string path = folder_ + "/" + with_suffix(name, k);
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) {
            fail("cannot open " + path, errno);
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {  // another session writes it
            ::close(fd);
            continue;
        }
        struct stat st;
        char magic[sizeof MAGIC] = {};
        if (::fstat(fd, &st) != 0 ||
            (st.st_size > 0 && (::pread(fd, magic, sizeof magic, 0) != (ssize_t)sizeof magic ||
                                std::memcmp(magic, MAGIC, sizeof MAGIC) != 0))) {
            ::close(fd);  // not a journal, or unreadable: leave it alone
            continue;
        }
        fd_ = fd;
        std::uint64_t cut = 0;
        if (st.st_size == 0) {
            std::string magic_bytes(MAGIC, sizeof MAGIC);
            if (!write_all(magic_bytes)) return false;
        } else {
            good_end_ = whole_records_end(fd, (std::uint64_t)st.st_size);
            cut = (std::uint64_t)st.st_size - good_end_;
            // An earlier writer stopped in the middle of a record: cut it off and say so below.
            if (cut && ::ftruncate(fd, (off_t)good_end_) != 0) {
                fail("cannot cut the unfinished record off " + path, errno);
                close_file();
                return false;
            }
        }
        {
            std::lock_guard lock(mutex_);
            file_ = path;
            if (cut) {
                lost_bytes_ += cut;
                if (lost_reason_.empty()) lost_reason_ = "an earlier writer stopped in the middle of a record";
            }
        }
        std::string header = header_;
        seal(header);
        if (!write_all(header)) return false;
        if (lost_pending()) write_incomplete();
        return fd_ >= 0;
    }
    fail("every file name for " + name + " is in use", EBUSY);
    return false;
}

bool Writer::write_all(std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            // Only whole records stay in the file.
            if (::ftruncate(fd_, (off_t)good_end_) != 0) {
            }
            fail("cannot write " + file(), error);
            return false;
        }
        done += (std::size_t)n;
    }
    good_end_ += bytes.size();
    dirty_ = true;
    std::lock_guard lock(mutex_);
    if (failed_) {
        failed_ = false;
        if (!recovery_reported_) {
            recovery_new_ = recovery_reported_ = true;
            recovery_ = "writing " + file_ + " again";
        }
    }
    return true;
}

bool Writer::lost_pending() {
    std::lock_guard lock(mutex_);
    return lost_bytes_ != 0;
}

void Writer::fail(const std::string& what, int error) {
    std::lock_guard lock(mutex_);
    std::string reason = what + ": " + std::strerror(error);
    lost_reason_ = reason;
    if (!failed_) {
        failed_ = true;
        // One ERROR per file: a disk that is nearly full fails and recovers by turns.
        if (!reported_) {
            failure_new_ = reported_ = true;
            failure_ = reason;
        }
    }
}

void Writer::write_incomplete() {
    std::uint64_t records, bytes;
    std::string reason;
    {
        std::lock_guard lock(mutex_);
        records = lost_records_;
        bytes = lost_bytes_;
        reason = lost_reason_;
    }
    // {"records": n, "bytes": n, "reason": text}, in the value encoding of journal.cpp.
    std::string body;
    body.push_back(0x08);
    put_varint(body, 3);
    auto key = [&](const char* k) {
        body.push_back(0x06);
        put_varint(body, std::strlen(k));
        body.append(k);
    };
    auto number = [&](std::uint64_t v) {
        body.push_back(0x03);
        put_varint(body, v << 1);  // zigzag of a non-negative int
    };
    key("records");
    number(records);
    key("bytes");
    number(bytes);
    key("reason");
    body.push_back(0x06);
    put_varint(body, reason.size());
    body.append(reason);
    std::string frame;
    put_frame(frame, 20, body);  // INCOMPLETE
    seal(frame);
    if (!write_all(frame)) return;
    std::lock_guard lock(mutex_);
    lost_records_ -= records;
    lost_bytes_ -= bytes;
    if (lost_bytes_ == 0) lost_reason_.clear();
}

void Writer::sync() {
    if (fd_ >= 0 && ::fdatasync(fd_) != 0) fail("cannot sync " + file(), errno);
    dirty_ = false;
}

void Writer::close_file() {
    if (fd_ < 0) return;
    sync();
    ::close(fd_);
    fd_ = -1;
    good_end_ = 0;
}

}  // namespace velkor::trading::journal
