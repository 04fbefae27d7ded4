// The closing-lot index of a session (book_index.h).
//
// Per child order the index keeps its share: which side of which symbol it holds and how many
// lots, from history, from today or unspecified; per symbol and side the sums of the shares. The
// walk over the children (positions.cpp) takes, child by child in order, today's lots for TODAY,
// history's for HISTORY, and for an unspecified close history's first, but only while history is
// above 0. Since history never rises again once it is at or below 0, the walk's result follows
// from the three sums alone unless both HISTORY and unspecified closes are live while history
// starts above 0 and below their sum: then the order of the children matters and the walk answers.
//
// Watcher callbacks run inside a dict operation of whatever code changes the dict: they only mark
// and count (no Python code, no reference released); everything else happens on the next use.
#include "book_index.h"

#include "books.h"
#include "diagnostics.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velkor::trading {

namespace {

constexpr long long lot_limit = 1LL << 32;     // a child's volume_left the index takes
constexpr long long value_limit = 1LL << 60;  // positions and sums it computes with

enum Close : uint8_t { close_today, close_history, close_unspecified };

// What one child contributes. `symbol` is a strong reference while the share counts.
struct Share {
    enum Kind : uint8_t { none, counting, irregular } kind = none;
    uint8_t side = 0;  // 0: closes the long side (a SELL order), 1: the short side (BUY)
    uint8_t close = close_unspecified;
    long long lots = 0;
    PyObject* symbol = nullptr;
};

// One child record as the index holds it.
struct Child {
    Share applied;  // what the sums hold for it, once per entry
    uint32_t entries = 0;  // entries of the container that hold it
    bool dirty = false;
};

struct Watch {
    ClosingIndex* owner;
    Child* child;  // null for the container
};

int watcher_id = -1;
// Every dict our watcher follows, by address: an open-addressing table, so that the lookup each
// watched change makes mostly costs one memory access.
class WatchTable {
public:
    Watch* find(PyObject* dict) noexcept {
        Bucket* bucket = bucket_of(dict);
        return bucket ? &bucket->watch : nullptr;
    }
    bool count(PyObject* dict) noexcept { return find(dict) != nullptr; }
    void put(PyObject* dict, Watch watch) {
        if (Watch* found = find(dict)) {
            *found = watch;
            return;
        }
        if ((occupied_ + 1) * 2 > buckets_.size()) grow();
        for (size_t i = home(dict);; i = (i + 1) & (buckets_.size() - 1)) {
            Bucket& bucket = buckets_[i];
            if (bucket.dict && bucket.dict != removed) continue;
            if (!bucket.dict) ++occupied_;
            bucket = {dict, watch};
            ++size_;
            return;
        }
    }
    void erase(PyObject* dict) noexcept {
        if (Bucket* bucket = bucket_of(dict)) {
            bucket->dict = removed;
            --size_;
        }
    }

private:
    // One place of the table: a watched dict and its watch.
    struct Bucket {
        PyObject* dict = nullptr;  // null: never used; `removed`: free again
        Watch watch{};
    };
    static inline PyObject* const removed = reinterpret_cast<PyObject*>(alignof(PyObject));

    Bucket* bucket_of(PyObject* dict) noexcept {
        if (buckets_.empty()) return nullptr;
        for (size_t i = home(dict);; i = (i + 1) & (buckets_.size() - 1)) {
            if (buckets_[i].dict == dict) return &buckets_[i];
            if (!buckets_[i].dict) return nullptr;
        }
    }
    size_t home(PyObject* dict) const noexcept {
        uint64_t h = (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(dict)) >> 4) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(h >> (64 - bits_));
    }
    void grow() {
        size_t bits = 6;
        while ((size_t{1} << bits) < (size_ + 1) * 4) ++bits;
        std::vector<Bucket> old = std::exchange(buckets_, std::vector<Bucket>(size_t{1} << bits));
        bits_ = bits;
        occupied_ = size_ = 0;
        for (const Bucket& bucket : old)
            if (bucket.dict && bucket.dict != removed) put(bucket.dict, bucket.watch);
    }

    std::vector<Bucket> buckets_;
    size_t bits_ = 0, size_ = 0, occupied_ = 0;  // occupied: used or removed
};

WatchTable watched;
PyObject* last_marked = nullptr;                // a child already marked for review: skips the lookups

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* value);

// The watcher, registered on first use. While every watcher id of the interpreter is taken the walk
// answers, and the registration is tried again on the first use a second or more after the last try.
bool watcher_ready() {
    if (watcher_id >= 0) return true;
    using clock = std::chrono::steady_clock;
    static std::optional<clock::time_point> last_try;
    clock::time_point now = clock::now();
    if (last_try && now - *last_try < std::chrono::seconds(1)) return false;
    last_try = now;
    watcher_id = PyDict_AddWatcher(on_dict_event);
    if (watcher_id < 0) PyErr_Clear();
    return watcher_id >= 0;
}

// d[key] for a key of ours; null when absent or when the lookup failed (the walk then shows it).
nb::object read(PyObject* d, nb::handle key) {
    PyObject* v = PyDict_GetItemWithError(d, key.ptr());
    if (!v && PyErr_Occurred()) PyErr_Clear();
    return nb::borrow(v);
}

bool is_text(const nb::object& v) { return v.is_valid() && PyUnicode_CheckExact(v.ptr()); }

// The share of one child, read as the walk reads it. Irregular: anything the walk might see
// differently from these fields (not a plain dict, a field missing, not a plain text or int).
Share classify(PyObject* child) {
    Share s;
    s.kind = Share::irregular;
    if (!PyDict_CheckExact(child)) return s;
    nb::object symbol = read(child, KEY("symbol")), status = read(child, KEY("status"));
    if (!is_text(symbol) || !is_text(status)) return s;
    if (book::is_final_state(status)) return s.kind = Share::none, s;
    nb::object direction = read(child, KEY("direction"));
    if (!is_text(direction)) return s;
    bool sell = equals(direction, KEY("SELL"));
    if (!sell && !equals(direction, KEY("BUY"))) return s.kind = Share::none, s;
    nb::object offset = read(child, KEY("offset"));
    if (!is_text(offset)) return s;
    if (equals(offset, KEY("OPEN"))) return s.kind = Share::none, s;
    nb::object close_type = read(child, KEY("close_type")), left = read(child, KEY("volume_left"));
    if (!close_type.is_valid() || (!close_type.is_none() && !is_text(close_type))) return s;
    if (!left.is_valid() || !PyLong_CheckExact(left.ptr())) return s;
    int overflow = 0;
    long long lots = PyLong_AsLongLongAndOverflow(left.ptr(), &overflow);
    if (overflow || lots < 0 || lots >= lot_limit) return s;
    s.kind = Share::counting;
    s.side = sell ? 0 : 1;
    s.close = close_type.is_none()                ? close_unspecified
              : equals(close_type, KEY("TODAY"))   ? close_today
              : equals(close_type, KEY("HISTORY")) ? close_history
                                                 : close_unspecified;
    s.lots = lots;
    s.symbol = symbol.release().ptr();
    return s;
}

}  // namespace

// Why the walk answers instead of the index; nothing when the index answers.
using Refusal = std::optional<Fallback>;

class ClosingIndex {
public:
    ~ClosingIndex() { release(); }

    Refusal answer(nb::handle self, nb::handle symbol, SideLots* sides, size_t count);
    int traverse(visitproc visit, void* arg);
    void clear() { release(); }
    void container_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* value) noexcept;
    void child_event(PyObject* dict, Child& child) noexcept;

private:
    struct Sums {
        long long lots[2][3] = {};
    };

    Refusal sync(PyObject* container);
    Refusal refresh(PyObject* container);
    void rebuild(PyObject* container);
    Refusal take(PyObject* container);
    Refusal add_entry(PyObject* child);
    bool remove_entry(PyObject* child);
    void drop_released();
    void review_dirty();
    void apply(const Share& share, long long times);
    void release();

    PyObject* container_ = nullptr;  // strong, watched while it is a plain dict
    bool valid_ = false;             // follows container_ exactly; else rebuilt on next use
    Refusal refused_ = Fallback::walk_index_failed;  // why it may not answer (nothing: a plain dict of
                                                     // text keys, no child shared elsewhere)
    bool busy_ = false;
    Py_ssize_t entries_ = 0;         // entries of container_
    long long irregular_ = 0;        // entries whose child only the walk reads right
    std::unordered_map<PyObject*, Child> children_;  // strong keys, held from their insertion on
    std::vector<PyObject*> dirty_, dropped_;
    std::unordered_map<PyObject*, Sums, TextHash, TextEq> books_;  // symbol (strong) -> sums
};

void ClosingIndex::apply(const Share& share, long long times) {
    if (share.kind == Share::irregular) {
        irregular_ += times;
    } else if (share.kind == Share::counting) {
        auto [it, fresh] = books_.try_emplace(share.symbol);
        if (fresh) Py_INCREF(share.symbol);
        it->second.lots[share.side][share.close] += share.lots * times;
    }
}

Refusal ClosingIndex::add_entry(PyObject* child) {
    if (auto it = children_.find(child); it != children_.end()) {
        ++it->second.entries;
        apply(it->second.applied, 1);
        return std::nullopt;
    }
    if (child == container_) return Fallback::walk_irregular_record;
    if (watched.count(child)) return Fallback::walk_shared_record;  // followed by another index
    // The maps first (they may fail to allocate), then the watch. Every key of the map holds its
    // reference: the collector counts it through traverse().
    dirty_.reserve(dirty_.size() + 1);
    Child& c = children_[child];
    Py_INCREF(child);
    auto forget = [&] {
        children_.erase(child);
        Py_DECREF(child);  // the caller holds it too
    };
    if (PyDict_CheckExact(child)) {
        try {
            watched.put(child, {this, &c});
        } catch (...) {
            forget();
            throw;
        }
        if (PyDict_Watch(watcher_id, child) < 0) {  // not for a plain dict and a registered watcher
            PyErr_Clear();
            watched.erase(child);
            forget();
            return Fallback::walk_index_failed;
        }
    }
    c.entries = 1;
    c.dirty = true;
    dirty_.push_back(child);
    return std::nullopt;
}

bool ClosingIndex::remove_entry(PyObject* child) {
    auto it = children_.find(child);
    if (it == children_.end() || it->second.entries == 0) return false;
    apply(it->second.applied, -1);
    if (--it->second.entries == 0) dropped_.push_back(child);
    return true;
}

void ClosingIndex::container_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* value) noexcept {
    if (!valid_ || refused_) {
        valid_ = false;
        return;
    }
    try {
        switch (event) {
            case PyDict_EVENT_ADDED:
                if (!PyUnicode_CheckExact(key) || add_entry(value)) {
                    valid_ = false;
                    return;
                }
                ++entries_;
                return;
            case PyDict_EVENT_MODIFIED:
            case PyDict_EVENT_DELETED: {
                // The dict still holds the old value. Its keys are all texts, so the lookup runs no
                // Python code; an error in flight is kept aside meanwhile.
                if (!PyUnicode_CheckExact(key)) {
                    valid_ = false;
                    return;
                }
                PyObject* raised = PyErr_GetRaisedException();
                PyObject* old = PyDict_GetItemWithError(dict, key);
                if (!old && PyErr_Occurred()) PyErr_Clear();
                PyErr_SetRaisedException(raised);
                if (!old) {
                    valid_ = false;
                    return;
                }
                if (old == value) return;
                if (!remove_entry(old) || (event == PyDict_EVENT_MODIFIED && add_entry(value))) {
                    valid_ = false;
                    return;
                }
                if (event == PyDict_EVENT_DELETED) --entries_;
                return;
            }
            default:  // cleared, filled from another dict: read it again
                valid_ = false;
                return;
        }
    } catch (...) {
        valid_ = false;
    }
}

void ClosingIndex::child_event(PyObject* dict, Child& child) noexcept {
    try {
        if (!child.dirty) {
            child.dirty = true;
            dirty_.push_back(dict);
        }
        last_marked = dict;
    } catch (...) {
        valid_ = false;
    }
}

void ClosingIndex::release() {
    // Everything is taken out first: releasing a child may run Python code that uses the index.
    auto children = std::move(children_);
    auto books = std::move(books_);
    PyObject* container = std::exchange(container_, nullptr);
    children_.clear();
    books_.clear();
    dirty_.clear();
    dropped_.clear();
    valid_ = false;
    refused_ = Fallback::walk_index_failed;
    entries_ = 0;
    irregular_ = 0;
    last_marked = nullptr;
    auto unwatch = [&](PyObject* d) {
        Watch* w = watched.find(d);
        if (!w || w->owner != this) return;
        watched.erase(d);
        if (PyDict_Unwatch(watcher_id, d) < 0) PyErr_Clear();
    };
    if (container) unwatch(container);
    for (auto& [child, rec] : children) unwatch(child);
    for (auto& [symbol, sums] : books) Py_DECREF(symbol);
    for (auto& [child, rec] : children) {
        Py_XDECREF(rec.applied.symbol);
        Py_DECREF(child);
    }
    Py_XDECREF(container);
}

void ClosingIndex::rebuild(PyObject* container) {
    release();
    Py_INCREF(container);
    container_ = container;
    valid_ = true;
    refused_ = take(container);
}

// Watches the container and takes its entries, or says why the index may not.
Refusal ClosingIndex::take(PyObject* container) {
    if (!PyDict_CheckExact(container)) return Fallback::walk_irregular_record;
    if (watched.count(container)) return Fallback::walk_shared_record;
    if (PyDict_Watch(watcher_id, container) < 0) {
        PyErr_Clear();
        return Fallback::walk_index_failed;
    }
    watched.put(container, {this, nullptr});
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(container, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return Fallback::walk_irregular_record;
        if (Refusal refused = add_entry(value)) return refused;
        ++entries_;
    }
    return std::nullopt;
}

Refusal ClosingIndex::sync(PyObject* container) {
    try {
        return refresh(container);
    } catch (...) {  // out of memory half-way: the walk answers, the next use rebuilds
        valid_ = false;
        return Fallback::walk_index_failed;
    }
}

Refusal ClosingIndex::refresh(PyObject* container) {
    // A size that disagrees: an insertion or deletion failed after its notice.
    if (container != container_ || !valid_ || (!refused_ && PyDict_GET_SIZE(container) != entries_)) rebuild(container);
    if (refused_) return refused_;
    drop_released();
    review_dirty();
    if (valid_ && !refused_ && container_ == container) return std::nullopt;
    return Fallback::walk_irregular_record;  // a key's comparison ran Python code that changed the book
}

// Lets go of the children no entry holds any more.
void ClosingIndex::drop_released() {
    while (!dropped_.empty()) {
        PyObject* child = dropped_.back();
        dropped_.pop_back();
        auto it = children_.find(child);
        if (it == children_.end() || it->second.entries) continue;  // back in the container meanwhile
        PyObject* symbol = it->second.applied.symbol;
        children_.erase(it);
        last_marked = nullptr;
        if (Watch* w = watched.find(child); w && w->owner == this) {
            watched.erase(child);
            if (PyDict_Unwatch(watcher_id, child) < 0) PyErr_Clear();
        }
        Py_XDECREF(symbol);
        Py_DECREF(child);
    }
}

// Reads the changed children again and moves their shares in the sums.
void ClosingIndex::review_dirty() {
    while (!dirty_.empty()) {
        PyObject* child = dirty_.back();
        dirty_.pop_back();
        auto it = children_.find(child);
        if (it == children_.end() || !it->second.dirty) continue;
        it->second.dirty = false;
        last_marked = nullptr;
        nb::object held = nb::borrow(child);
        Share fresh = classify(child);
        it = children_.find(child);  // classify may have run Python code (a key's __eq__)
        if (it == children_.end()) {
            Py_XDECREF(fresh.symbol);
            continue;
        }
        long long entries = it->second.entries;
        apply(it->second.applied, -entries);
        apply(fresh, entries);
        std::swap(it->second.applied, fresh);
        Py_XDECREF(fresh.symbol);
    }
}

Refusal ClosingIndex::answer(nb::handle self, nb::handle symbol, SideLots* sides, size_t count) {
    // A reentrant use: Python code run by a key's comparison while the index reads a record.
    if (busy_ || !PyUnicode_CheckExact(symbol.ptr())) return Fallback::walk_irregular_record;
    for (size_t i = 0; i < count; ++i) {
        if (sides[i].history < -value_limit || sides[i].history > value_limit || sides[i].today < -value_limit ||
            sides[i].today > value_limit)
            return Fallback::walk_unusual_lots;
    }
    busy_ = true;
    struct Busy {
        bool& flag;
        ~Busy() { flag = false; }
    } busy{busy_};
    nb::object container = get(self, KEY("native_orders"));
    if (Refusal refused = sync(container.ptr())) return refused;
    if (irregular_) return Fallback::walk_irregular_record;

    static const Sums nothing;
    auto found = books_.find(symbol.ptr());
    const Sums& sums = found == books_.end() ? nothing : found->second;
    long long history[2], today[2];
    for (size_t i = 0; i < count; ++i) {
        const long long* held = sums.lots[sides[i].selling ? 0 : 1];
        long long in_today = held[close_today], in_history = held[close_history], open = held[close_unspecified];
        if (in_today > value_limit || in_history > value_limit || open > value_limit) return Fallback::walk_unusual_lots;
        long long h0 = sides[i].history, h;
        if (open == 0 || h0 <= 0)
            h = h0 - in_history;  // unspecified closes take nothing from history
        else if (in_history == 0)
            h = std::max(h0 - open, 0LL);
        else if (h0 >= in_history + open)
            h = h0 - in_history - open;  // history never runs out
        else
            return Fallback::walk_order_dependent;  // depends on the order of the children
        history[i] = h;
        today[i] = sides[i].today + h0 - (in_today + in_history + open) - h;
    }
    for (size_t i = 0; i < count; ++i) {
        sides[i].history = history[i];
        sides[i].today = today[i];
    }
    return std::nullopt;
}

int ClosingIndex::traverse(visitproc visit, void* arg) {
    Py_VISIT(container_);
    for (auto& [child, rec] : children_) Py_VISIT(child);
    return 0;  // the symbols are exact texts, which the collector does not follow
}

namespace {

// A watched dict is never deallocated: the index holds a reference to each.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* value) {
    if (dict == last_marked) return 0;
    Watch* w = watched.find(dict);
    if (!w) return 0;
    if (!w->child)
        w->owner->container_event(event, dict, key, value);
    else
        w->owner->child_event(dict, *w->child);
    return 0;
}

}  // namespace

void ClosingIndexDelete::operator()(ClosingIndex* index) const noexcept { delete index; }

int closing_traverse(Trading& session, visitproc visit, void* arg) {
    return session.closing ? session.closing->traverse(visit, arg) : 0;
}

void closing_clear(Trading& session) {
    if (session.closing) session.closing->clear();
}

bool closing_lots(nb::handle self, nb::handle symbol, SideLots* sides, size_t count) {
    Trading* t = trading_state(self);
    if (!t) return false;
    Refusal refused = Fallback::walk_no_watcher;
    if (watcher_ready()) {
        if (!t->closing) t->closing.reset(new ClosingIndex());
        refused = t->closing->answer(self, symbol, sides, count);
    }
    if (!refused) return true;
    report_fallback(self, *refused, {symbol});
    return false;
}

bool closing_lots_unusual(nb::handle self, nb::handle symbol) {
    if (trading_state(self)) report_fallback(self, Fallback::walk_unusual_lots, {symbol});
    return false;
}

}  // namespace velkor::trading
