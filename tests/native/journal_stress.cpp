// The journal's writer thread under a thread checker, without the interpreter.
//
// The loop's side of the writer (open, data, the failure and recovery reports, file, finish) is called the
// way the session calls it: by whichever thread holds the interpreter lock, here a mutex that two "loop"
// threads take in turn, while the writer thread frames, writes and syncs.
//
//   handoffs     batches of every size from two loop threads, small ones waiting for the writer's look;
//                every record reaches the file once, in order, with its checksum
//   day roll     records after a second open go to the second file, none to the wrong one
//   failure      a folder that cannot be made: one failure reported, the rest counted, nothing written
//   full disk    writes fail past a file size limit, then work again: the file holds whole records, an
//                INCOMPLETE record where the gap is, and the records after it; one failure, one recovery
//   busy name    two writers of one name at once: two files, each whole
//   many         forty journals served by the one writing thread, made, fed and finished by two loop threads
//                in any order, with quiet spells in which the thread sleeps: each file whole and in order
//
// Exits 1 when a check fails. Build and run it with tests/native/run_thread_stress.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "../../trading/journal_writer.h"

namespace {

using namespace velkor::trading::journal;

constexpr unsigned char POLL = 7, INCOMPLETE = 20;

std::string folder;  // a fresh temporary folder

// A framed POLL record whose body is the number `n` (eight bytes) and `pad` bytes more.
std::string record(std::uint64_t n, std::size_t pad = 0) {
    std::string body(8 + pad, 'x');
    std::memcpy(body.data(), &n, 8);
    std::string out;
    put_frame(out, POLL, body);
    return out;
}

std::string header() {
    std::string out;
    put_frame(out, 1, "{\"format\":\"velkor-journal\"}");
    return out;
}

struct Frame {
    unsigned char kind;
    std::string body;
};

// The records of a file after its magic; `whole` is false when a frame is cut short or its checksum fails.
std::vector<Frame> frames(const std::string& path, bool& whole) {
    std::ifstream in(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Frame> out;
    whole = data.compare(0, sizeof MAGIC, std::string(MAGIC, sizeof MAGIC)) == 0;
    std::size_t at = sizeof MAGIC;
    while (whole && at < data.size()) {
        std::uint64_t length = 0;
        std::size_t n = 0;
        for (int shift = 0; at + n < data.size(); shift += 7) {
            unsigned char c = (unsigned char)data[at + n++];
            length |= std::uint64_t(c & 0x7F) << shift;
            if (!(c & 0x80)) break;
        }
        if (length == 0 || at + n + length + 4 > data.size()) {
            whole = false;
            break;
        }
        std::uint32_t crc;
        std::memcpy(&crc, data.data() + at + n + length, 4);
        if (crc != crc32(reinterpret_cast<const unsigned char*>(data.data()) + at, n + length)) whole = false;
        out.push_back({(unsigned char)data[at + n], data.substr(at + n + 1, length - 1)});
        at += n + length + 4;
    }
    return out;
}

// The numbers of the POLL records of `frames`, and how many other records they hold besides the header.
std::vector<std::uint64_t> numbers(const std::vector<Frame>& frames, int* others = nullptr) {
    std::vector<std::uint64_t> out;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        if (frames[i].kind == POLL && frames[i].body.size() >= 8) {
            std::uint64_t n;
            std::memcpy(&n, frames[i].body.data(), 8);
            out.push_back(n);
        } else if (others) {
            ++*others;
        }
    }
    return out;
}

bool counts_up(const std::vector<std::uint64_t>& v, std::uint64_t from, std::uint64_t to) {
    if (v.size() != to - from) return false;
    for (std::size_t i = 0; i < v.size(); ++i)
        if (v[i] != from + i) return false;
    return true;
}

void handoffs() {
    constexpr std::uint64_t BATCHES = 4000;
    std::mutex lock;  // the interpreter lock
    Writer writer(folder);
    writer.open("handoffs.vkj", header());
    std::uint64_t next = 0, batches = 0;
    int reported = 0;
    auto loop = [&](unsigned seed) {
        for (;;) {
            {
                std::lock_guard hold(lock);
                if (batches == BATCHES) return;
                ++batches;
                seed = seed * 1103515245 + 12345;
                unsigned count = 1 + seed % 5;
                std::size_t pad = (seed >> 8) % 7 == 0 ? 70000 : (seed >> 8) % 40;  // now and then past 64 KiB
                std::string batch;
                for (unsigned i = 0; i < count; ++i) batch += record(next++, pad);
                writer.data(std::move(batch), count);
                std::string message;
                reported += writer.take_failure(message) + writer.take_recovery(message);
                CHECK(writer.file().empty() || writer.file() == folder + "/handoffs.vkj", "%s", writer.file().c_str());
            }
            if (seed % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(seed % 2000));
        }
    };
    std::thread a(loop, 1), b(loop, 2);
    a.join();
    b.join();
    writer.finish();
    bool whole;
    auto got = frames(folder + "/handoffs.vkj", whole);
    CHECK(whole, "the file has a broken record");
    CHECK(counts_up(numbers(got), 0, next), "%zu records of %llu, or out of order", numbers(got).size(),
          (unsigned long long)next);
    CHECK(reported == 0, "%d failures reported", reported);
    std::printf("handoffs: %llu records in %llu batches from 2 loop threads, each once and in order\n",
                (unsigned long long)next, (unsigned long long)BATCHES);
}

void day_roll() {
    Writer writer(folder);
    writer.open("day1.vkj", header());
    std::thread other([&] {
        for (std::uint64_t i = 0; i < 100; ++i) writer.data(record(i), 1);
        writer.open("day2.vkj", header());
        for (std::uint64_t i = 100; i < 200; ++i) writer.data(record(i), 1);
    });
    other.join();
    writer.finish();
    bool whole1, whole2;
    auto day1 = frames(folder + "/day1.vkj", whole1), day2 = frames(folder + "/day2.vkj", whole2);
    CHECK(whole1 && whole2, "a broken record");
    CHECK(counts_up(numbers(day1), 0, 100) && counts_up(numbers(day2), 100, 200), "%zu and %zu records",
          numbers(day1).size(), numbers(day2).size());
    std::printf("day roll: 100 records in each file\n");
}

void failure() {
    std::string file = folder + "/plain-file";
    std::fclose(std::fopen(file.c_str(), "w"));
    Writer writer(file + "/journal");
    writer.open("x.vkj", header());
    int reported = 0;
    std::string message;
    for (std::uint64_t i = 0; i < 200; ++i) {
        writer.data(record(i), 1);
        if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        reported += writer.take_failure(message);
    }
    writer.finish();
    reported += writer.take_failure(message);
    CHECK(reported == 1, "%d failures reported", reported);
    CHECK(message.find("cannot open") != std::string::npos, "%s", message.c_str());
    CHECK(writer.file().empty(), "%s", writer.file().c_str());
    std::printf("failure: reported once\n");
}

void full_disk() {
    constexpr rlim_t LIMIT = 20000;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit low = saved;
    low.rlim_cur = LIMIT;
    setrlimit(RLIMIT_FSIZE, &low);
    Writer writer(folder);
    writer.open("full.vkj", header());
    std::string message;
    int failed = 0, recovered = 0;
    std::uint64_t i = 0;
    for (; i < 400; ++i) {  // about 40 kB: past the limit
        writer.data(record(i, 90), 1);
        if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(60));
        failed += writer.take_failure(message);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    failed += writer.take_failure(message);
    setrlimit(RLIMIT_FSIZE, &saved);
    for (; i < 500; ++i) {
        writer.data(record(i, 90), 1);
        if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(60));
        recovered += writer.take_recovery(message);
    }
    writer.finish();
    recovered += writer.take_recovery(message);
    CHECK(failed == 1 && recovered == 1, "%d failures and %d recoveries reported", failed, recovered);
    bool whole;
    auto got = frames(folder + "/full.vkj", whole);
    CHECK(whole, "a broken record");
    std::size_t gap = 0;
    while (gap < got.size() && got[gap].kind != INCOMPLETE) ++gap;
    CHECK(gap < got.size(), "no INCOMPLETE record");
    auto before = numbers(std::vector<Frame>(got.begin(), got.begin() + (long)gap));
    auto after = numbers(std::vector<Frame>(got.begin() + (long)gap, got.end()));
    CHECK(!before.empty() && counts_up(before, 0, before.size()), "%zu records before the gap", before.size());
    CHECK(!after.empty() && after.back() == 499 && counts_up(after, after.front(), 500), "the records after it");
    std::printf("full disk: %zu records, an INCOMPLETE record, %zu records; one failure, one recovery\n",
                before.size(), after.size());
}

void busy_name() {
    Writer a(folder), b(folder);
    std::thread ta([&] {
        a.open("busy.vkj", header());
        for (std::uint64_t i = 0; i < 300; ++i) a.data(record(i), 1);
    });
    std::thread tb([&] {
        b.open("busy.vkj", header());
        for (std::uint64_t i = 0; i < 300; ++i) b.data(record(i), 1);
    });
    ta.join();
    tb.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string fa = a.file(), fb = b.file();
    a.finish();
    b.finish();
    CHECK(fa != fb && !fa.empty() && !fb.empty(), "%s and %s", fa.c_str(), fb.c_str());
    for (const std::string& f : {fa, fb}) {
        bool whole;
        auto got = frames(f, whole);
        CHECK(whole && counts_up(numbers(got), 0, 300), "%s: %zu records", f.c_str(), numbers(got).size());
    }
    std::printf("busy name: two files, each whole\n");
}

void many() {
    constexpr int JOURNALS = 40;
    std::mutex lock;  // the interpreter lock
    struct Journal {
        std::unique_ptr<Writer> writer;
        std::uint64_t next = 0;
        bool done = false;
    };
    std::vector<Journal> journals(JOURNALS);
    int made = 0, finished = 0;
    auto loop = [&](unsigned seed) {
        for (;;) {
            std::lock_guard hold(lock);
            if (finished == JOURNALS) return;
            seed = seed * 1103515245 + 12345;
            Journal& j = journals[(seed >> 4) % JOURNALS];
            if (j.done) continue;
            if (!j.writer) {
                j.writer = std::make_unique<Writer>(folder);
                j.writer->open("many-" + std::to_string(&j - journals.data()) + ".vkj", header());
                ++made;
            }
            if (j.next >= 200 && (seed >> 12) % 4 == 0) {
                j.writer->finish();  // waits for this file while the thread serves the others
                j.done = true;
                ++finished;
                continue;
            }
            unsigned count = 1 + (seed >> 8) % 4;
            std::string batch;
            for (unsigned i = 0; i < count; ++i) batch += record(j.next++, (seed >> 16) % 30);
            j.writer->data(batch, count);
            if ((seed >> 20) % 500 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(120));  // it sleeps
        }
    };
    std::thread a(loop, 3), b(loop, 4);
    a.join();
    b.join();
    for (int i = 0; i < JOURNALS; ++i) {
        bool whole;
        auto got = frames(folder + "/many-" + std::to_string(i) + ".vkj", whole);
        CHECK(whole && counts_up(numbers(got), 0, journals[i].next), "journal %d: %zu records of %llu", i,
              numbers(got).size(), (unsigned long long)journals[i].next);
    }
    std::printf("many: %d journals on one thread, each whole and in order\n", made);
}

}  // namespace

int main() {
    end_after(std::chrono::minutes(5));
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/journal-stress-XXXXXX";
    if (!mkdtemp(templ.data())) return 2;
    folder = templ;
    handoffs();
    day_roll();
    failure();
    full_disk();
    busy_name();
    many();
    std::string cleanup = "rm -rf '" + folder + "'";
    if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", folder.c_str());
    return verdict();
}
