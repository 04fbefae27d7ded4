// The journal's background writer: one thread per journal that frames, writes and syncs the batches
// the loop hands it. It never touches Python, so the interpreter lock is free while it writes.
//
// Files are opened 0600 (the folder, when it has to be made, 0700) and locked, so two sessions never
// append to one file: a file in use gets a sibling with "-2", "-3", ... before the extension. A failed
// write drops what it could not write (the file is cut back to its last whole record) and counts it;
// the next write that succeeds first puts an INCOMPLETE record saying how much is missing and why.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <sys/types.h>

namespace velkor::trading::journal {

// Every file begins with these eight bytes.
inline constexpr char MAGIC[8] = {'\x89', 'V', 'K', 'J', '\r', '\n', '\x1a', '\n'};

// CRC-32 of zlib (and of Python's zlib.crc32), continuing from `crc`.
std::uint32_t crc32(const unsigned char* data, std::size_t size, std::uint32_t crc = 0);

// Appends an unsigned LEB128 varint.
void put_varint(std::string& out, std::uint64_t value);

// Appends the frame of one record: the length of kind and body as a varint, the kind, the body and four
// bytes for the CRC, which the writer fills in.
void put_frame(std::string& out, unsigned char kind, std::string_view body);

class Writer {
public:
    explicit Writer(std::string folder);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // A new file for the records that follow, starting with `header` (a framed HEADER record).
    void open(std::string name, std::string header);
    // Framed records for the current file.
    void data(std::string bytes, std::uint64_t records);
    // Writes everything handed over, syncs and closes the file, and stops the thread. Blocking.
    void finish();

    // A failure not yet reported (true once per episode) and its text; a recovery likewise.
    bool take_failure(std::string& message);
    bool take_recovery(std::string& message);
    // The name of the file written now ("" before the first).
    std::string file();

private:
    struct Op {
        enum Type { OPEN, DATA, FINISH } type;
        std::string name;
        std::string bytes;
        std::uint64_t records = 0;
    };
    bool orphan() const;
    void push(Op op);
    void loop();
    void execute(Op& op);
    bool open_file(const std::string& name);
    bool write_all(std::string& bytes);
    void fail(const std::string& what, int error);
    void write_incomplete();
    bool lost_pending();
    void sync();
    void close_file();

    std::string folder_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Op> ops_;
    std::size_t queued_bytes_ = 0;
    std::chrono::steady_clock::time_point last_wake_{};
    bool finishing_ = false;
    // Shared with the loop, under mutex_.
    bool failure_new_ = false, recovery_new_ = false, failed_ = false, reported_ = false, recovery_reported_ = false;
    std::string failure_, recovery_, file_;
    std::uint64_t lost_records_ = 0, lost_bytes_ = 0;  // dropped since the last record that reached the file
    std::string lost_reason_;
    // The thread's own.
    int fd_ = -1;
    std::string name_, header_;
    bool dirty_ = false;
    std::uint64_t good_end_ = 0;  // the file's size after its last whole record
    // The process whose thread writes. In a forked child the writer is an orphan: its thread is not there
    // and its mutex may have been held at the fork, so every call returns at once.
    pid_t owner_;
    std::thread thread_;
};

}  // namespace velkor::trading::journal
