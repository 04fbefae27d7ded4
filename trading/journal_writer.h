// The journal's background writing: one thread per process serves every journal. Each journal's Writer
// hands it batches of framed records; the thread fills in their checksums, writes them and syncs each
// file once a second and on close. It never touches Python, so the interpreter lock is free while it
// writes, and it sleeps while nothing is handed over and no sync is due.
//
// Files are opened 0600 (the folder, when it has to be made, 0700) and locked, so two sessions never
// append to one file: a file in use gets a sibling with "-2", "-3", ... before the extension. A failed
// write drops what it could not write (the file is cut back to its last whole record) and counts it;
// the next write that succeeds first puts an INCOMPLETE record saying how much is missing and why.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

class Service;

class Writer {
public:
    explicit Writer(std::string folder);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // A new file for the records that follow, starting with `header` (a framed HEADER record).
    void open(std::string name, std::string header);
    // Framed records for the current file, copied: the caller keeps its buffer (and its capacity). Takes
    // an uncontended mutex and, only when the writing thread sleeps with nothing to do, wakes it.
    void data(std::string_view bytes, std::uint64_t records);
    // Writes everything handed over, syncs and closes the file. Blocking.
    void finish();

    // A failure not yet reported (true once per episode) and its text; a recovery likewise.
    bool take_failure(std::string& message);
    bool take_recovery(std::string& message);
    // The name of the file written now ("" before the first).
    std::string file();

    // The per-file state: the loop's queue and reports (under the service's mutex), the thread's file.
    struct File;

private:
    std::unique_ptr<File> f_;
    // In a forked child the writer is an orphan: the thread serving it is not there and the service's
    // mutex may have been held at the fork, so every call returns at once.
    Service* service_;
    pid_t owner_;
    bool orphan() const;
    // A report the thread left (`fresh`), taken once, with its text.
    bool take(bool File::*fresh, std::string File::*text, std::string& message);
};

}  // namespace velkor::trading::journal
