// The journal's writing thread: framing checksums, files, writes, syncs and their failures.
#include "journal_writer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velkor::trading::journal {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t MAX_QUEUED = 64u << 20;  // per file; beyond this the loop drops batches instead of queueing them
constexpr std::size_t WAKE_BYTES = 64u << 10;  // a queue this long wakes the thread at once
constexpr std::uint64_t MAX_RECORD = 64u << 20;
// After writing, the thread looks again this much later for what came meanwhile; while it waits so, a
// handover does not wake it (waking costs the loop a system call, more than encoding a pass's records).
constexpr auto LOOK = std::chrono::milliseconds(50);
constexpr auto SYNC_EVERY = std::chrono::seconds(1);

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

// This process's id, renewed in a forked child, so that a writer knows without a system call whether the
// thread serving it (and the state of the service's mutex) is this process's.
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

struct Op {
    enum Type { OPEN, DATA, FINISH } type;
    std::string name;
    std::string bytes;
    std::uint64_t records = 0;
};

}  // namespace

struct Writer::File {
    File(std::string folder, std::mutex& mutex) : folder(std::move(folder)), mutex(mutex) {}

    const std::string folder;
    std::mutex& mutex;  // the service's
    // Shared with the loop, under `mutex`.
    std::vector<Op> ops;        // handed over, not yet taken by the thread
    std::string spare;          // a written batch's buffer, given back for the next one (no allocation a pass)
    std::size_t queued_bytes = 0;
    bool queued = false;        // in the service's list of files with work
    bool finishing = false, done = false;
    bool failure_new = false, recovery_new = false, failed = false, reported = false, recovery_reported = false;
    std::string failure, recovery, path;
    std::uint64_t lost_records = 0, lost_bytes = 0;  // dropped since the last record that reached the file
    std::string lost_reason;
    // The thread's own.
    std::vector<Op> taking;
    int fd = -1;
    std::string name, header;
    bool dirty = false;
    std::uint64_t good_end = 0;  // the file's size after its last whole record

    void execute(Op& op);
    bool open_file(const std::string& name);
    bool write_all(std::string& bytes);
    void fail(const std::string& what, int error);
    void write_incomplete();
    bool lost_pending();
    void lose(const Op& op);
    std::string current();
    void sync();
    void close_file();
};

// The process's writing thread and the files it serves. Made once per process (again in a forked child)
// and never destroyed: its thread, detached, sleeps on it until the process ends.
class Service {
public:
    static Service* get();

    void data(Writer::File* f, std::string_view bytes, std::uint64_t records);
    void push(Writer::File* f, Op op);
    void finish(Writer::File* f);

    std::mutex mutex;
    const pid_t owner;

private:
    explicit Service(pid_t owner) : owner(owner) {}
    void queue(Writer::File* f, bool urgent);
    void run();
    void sync_round(Clock::time_point now);

    std::condition_variable wake_, finished_;
    // Under mutex.
    std::vector<Writer::File*> ready_;  // files with ops to take
    bool asleep_ = false;               // the thread waits with nothing written lately: a handover wakes it
    bool urgent_ = false;               // a finish or a long queue: the thread's look ends early
    // The thread's own.
    // Files written and not yet synced, all synced together at `round_`: a second after the first of them was
    // written, so that a file is synced within a second of a write and the thread wakes once a second for all.
    std::vector<Writer::File*> dirty_;
    Clock::time_point round_{};
};

Service* Service::get() {
    static std::atomic<Service*> current{nullptr};
    pid_t me = this_process();
    Service* s = current.load(std::memory_order_acquire);
    while (!s || s->owner != me) {
        // None yet, or the parent's (its thread is not in this process): a new one; the old is left as it is.
        auto* fresh = new Service(me);
        if (current.compare_exchange_strong(s, fresh, std::memory_order_acq_rel)) {
            std::thread([fresh] { fresh->run(); }).detach();
            return fresh;
        }
        delete fresh;
    }
    return s;
}

// Under mutex: `f` has work; wake the thread when it sleeps, or at once when `urgent`.
void Service::queue(Writer::File* f, bool urgent) {
    if (!f->queued) {
        f->queued = true;
        ready_.push_back(f);
    }
    bool wake = asleep_ || (urgent && !urgent_);
    asleep_ = asleep_ && !wake;
    urgent_ = urgent_ || urgent;
    if (wake) wake_.notify_one();
}

void Service::data(Writer::File* f, std::string_view bytes, std::uint64_t records) {
    std::lock_guard lock(mutex);
    if (f->finishing) return;
    if (f->queued_bytes + bytes.size() > MAX_QUEUED) {
        // The disk cannot keep up (or hangs): drop rather than grow without bound.
        f->lost_records += records;
        f->lost_bytes += bytes.size();
        f->lost_reason = "the writer fell behind by more than 64 MiB";
        return;
    }
    f->queued_bytes += bytes.size();
    if (f->ops.empty() || f->ops.back().type != Op::DATA) {
        f->ops.push_back({Op::DATA, {}, {}, 0});
        f->ops.back().bytes.swap(f->spare);
    }
    f->ops.back().bytes.append(bytes);
    f->ops.back().records += records;
    queue(f, f->queued_bytes >= WAKE_BYTES);
}

void Service::push(Writer::File* f, Op op) {
    std::lock_guard lock(mutex);
    if (f->finishing) return;
    if (op.type == Op::FINISH) f->finishing = true;
    f->ops.push_back(std::move(op));
    queue(f, f->finishing);
}

void Service::finish(Writer::File* f) {
    push(f, {Op::FINISH, {}, {}, 0});
    std::unique_lock lock(mutex);
    finished_.wait(lock, [&] { return f->done; });
}

void Service::run() {
    std::vector<Writer::File*> work, closed;
    std::unique_lock lock(mutex);
    for (;;) {
        work.swap(ready_);
        for (Writer::File* f : work) {
            f->queued = false;
            f->queued_bytes = 0;
            f->taking.swap(f->ops);
        }
        urgent_ = false;
        lock.unlock();

        for (Writer::File* f : work) {
            for (Op& op : f->taking) {
                if (op.type == Op::FINISH) {
                    f->close_file();
                    std::erase(dirty_, f);
                    closed.push_back(f);
                    break;
                }
                bool was_dirty = f->dirty;
                f->execute(op);
                if (f->dirty && !was_dirty) {
                    if (dirty_.empty()) round_ = Clock::now() + SYNC_EVERY;
                    dirty_.push_back(f);
                }
            }
        }
        auto now = Clock::now();
        sync_round(now);

        lock.lock();
        for (Writer::File* f : work) {
            // The largest written buffer goes back to the loop for its next batch.
            for (Op& op : f->taking)
                if (op.type == Op::DATA && op.bytes.capacity() > f->spare.capacity()) {
                    op.bytes.clear();
                    f->spare.swap(op.bytes);
                }
            f->taking.clear();
        }
        for (Writer::File* f : closed) f->done = true;  // from here on its writer may delete it
        if (!closed.empty()) finished_.notify_all();
        closed.clear();
        bool wrote = !work.empty();
        work.clear();
        if (!ready_.empty()) continue;

        auto due = dirty_.empty() ? Clock::time_point::max() : round_;
        if (wrote) {
            // More is likely to come: look again shortly, without being woken for small batches.
            wake_.wait_until(lock, std::min(due, now + LOOK), [&] { return urgent_; });
        } else {
            asleep_ = true;
            if (due == Clock::time_point::max())
                wake_.wait(lock, [&] { return !ready_.empty(); });
            else
                wake_.wait_until(lock, due, [&] { return !ready_.empty(); });
            asleep_ = false;
        }
    }
}

void Service::sync_round(Clock::time_point now) {
    if (dirty_.empty() || now < round_) return;
    for (Writer::File* f : dirty_)
        if (f->dirty) f->sync();
    dirty_.clear();
}

Writer::Writer(std::string folder)
    : service_(Service::get()), owner_(service_->owner) {
    f_ = std::make_unique<File>(std::move(folder), service_->mutex);
}

bool Writer::orphan() const { return owner_ != process.load(std::memory_order_relaxed); }

Writer::~Writer() {
    finish();
    // A forked child's copy: the parent's thread may have held the service's mutex (and the file) at the
    // fork; its memory is left as it is.
    if (orphan()) (void)f_.release();
}

void Writer::open(std::string name, std::string header) {
    if (!orphan()) service_->push(f_.get(), {Op::OPEN, std::move(name), std::move(header), 0});
}

void Writer::data(std::string_view bytes, std::uint64_t records) {
    if (!bytes.empty() && !orphan()) service_->data(f_.get(), bytes, records);
}

void Writer::finish() {
    // A forked child (exiting, or dropping its copy of the session): the thread and the file are its
    // parent's. Nothing is written, nothing waited for.
    if (!orphan()) service_->finish(f_.get());
}

bool Writer::take(bool File::*fresh, std::string File::*text, std::string& message) {
    if (orphan()) return false;
    std::lock_guard lock(f_->mutex);
    if (!(f_.get()->*fresh)) return false;
    f_.get()->*fresh = false;
    message = f_.get()->*text;
    return true;
}

bool Writer::take_failure(std::string& message) { return take(&File::failure_new, &File::failure, message); }

bool Writer::take_recovery(std::string& message) { return take(&File::recovery_new, &File::recovery, message); }

std::string Writer::file() { return orphan() ? std::string() : f_->current(); }

std::string Writer::File::current() {
    std::lock_guard lock(mutex);
    return path;
}

void Writer::File::lose(const Op& op) {
    std::lock_guard lock(mutex);
    lost_records += op.records;
    lost_bytes += op.bytes.size();
}

void Writer::File::execute(Op& op) {
    if (op.type == Op::OPEN) {
        close_file();
        {
            std::lock_guard lock(mutex);
            reported = recovery_reported = false;
        }
        name = op.name;
        header = std::move(op.bytes);
        open_file(name);
        return;
    }
    if (fd < 0 && !name.empty()) open_file(name);  // the folder may be writable again
    if (fd < 0) return lose(op);
    // What was lost before is told before anything after it; while that cannot be written, this goes too.
    if (lost_pending()) write_incomplete();
    if (fd < 0 || lost_pending()) return lose(op);
    seal(op.bytes);
    if (!write_all(op.bytes)) lose(op);
}

bool Writer::File::open_file(const std::string& wanted) {
    ::mkdir(folder.c_str(), 0700);  // an existing folder keeps its permissions
    for (int k = 1; k < 100; ++k) {
        std::string candidate = folder + "/" + with_suffix(wanted, k);
        int handle = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (handle < 0) {
            fail("cannot open " + candidate, errno);
            return false;
        }
        if (::flock(handle, LOCK_EX | LOCK_NB) != 0) {  // another session writes it
            ::close(handle);
            continue;
        }
        struct stat st;
        char magic[sizeof MAGIC] = {};
        if (::fstat(handle, &st) != 0 ||
            (st.st_size > 0 && (::pread(handle, magic, sizeof magic, 0) != (ssize_t)sizeof magic ||
                                std::memcmp(magic, MAGIC, sizeof MAGIC) != 0))) {
            ::close(handle);  // not a journal, or unreadable: leave it alone
            continue;
        }
        fd = handle;
        std::uint64_t cut = 0;
        if (st.st_size == 0) {
            std::string magic_bytes(MAGIC, sizeof MAGIC);
            if (!write_all(magic_bytes)) return false;
        } else {
            good_end = whole_records_end(fd, (std::uint64_t)st.st_size);
            cut = (std::uint64_t)st.st_size - good_end;
            // An earlier writer stopped in the middle of a record: cut it off and say so below.
            if (cut && ::ftruncate(fd, (off_t)good_end) != 0) {
                fail("cannot cut the unfinished record off " + candidate, errno);
                close_file();
                return false;
            }
        }
        {
            std::lock_guard lock(mutex);
            path = candidate;
            if (cut) {
                lost_bytes += cut;
                if (lost_reason.empty()) lost_reason = "an earlier writer stopped in the middle of a record";
            }
        }
        std::string framed = header;
        seal(framed);
        if (!write_all(framed)) return false;
        if (lost_pending()) write_incomplete();
        return fd >= 0;
    }
    fail("every file name for " + wanted + " is in use", EBUSY);
    return false;
}

bool Writer::File::write_all(std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int error = n < 0 ? errno : ENOSPC;
            // Only whole records stay in the file.
            if (::ftruncate(fd, (off_t)good_end) != 0) {
            }
            fail("cannot write " + current(), error);
            return false;
        }
        done += (std::size_t)n;
    }
    good_end += bytes.size();
    dirty = true;
    std::lock_guard lock(mutex);
    if (failed) {
        failed = false;
        if (!recovery_reported) {
            recovery_new = recovery_reported = true;
            recovery = "writing " + path + " again";
        }
    }
    return true;
}

bool Writer::File::lost_pending() {
    std::lock_guard lock(mutex);
    return lost_bytes != 0;
}

void Writer::File::fail(const std::string& what, int error) {
    std::lock_guard lock(mutex);
    std::string reason = what + ": " + std::strerror(error);
    lost_reason = reason;
    if (!failed) {
        failed = true;
        // One ERROR per file: a disk that is nearly full fails and recovers by turns.
        if (!reported) {
            failure_new = reported = true;
            failure = reason;
        }
    }
}

void Writer::File::write_incomplete() {
    std::uint64_t records, bytes;
    std::string reason;
    {
        std::lock_guard lock(mutex);
        records = lost_records;
        bytes = lost_bytes;
        reason = lost_reason;
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
    std::lock_guard lock(mutex);
    lost_records -= records;
    lost_bytes -= bytes;
    if (lost_bytes == 0) lost_reason.clear();
}

void Writer::File::sync() {
    if (fd >= 0 && ::fdatasync(fd) != 0) fail("cannot sync " + current(), errno);
    dirty = false;
}

void Writer::File::close_file() {
    if (fd < 0) return;
    sync();
    ::close(fd);
    fd = -1;
    good_end = 0;
}

}  // namespace velkor::trading::journal
