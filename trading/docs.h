// What help(Trading) and help(Native) show: the signature of every public method with its types, and
// its docstring. The bindings in the concern files refer to these.
#pragma once

namespace velkor::trading::doc {

// ---- Trading

inline constexpr const char* init_sig =
    "def __init__(self, config: CtpAccount | None, timeout: float, objects: dict[int, object], *, "
    "native_factory: Callable[[CtpAccount, str], Native] = Native, limits: Limits | None = None, "
    "journal: str | os.PathLike[str] | None = None) -> None";
inline constexpr const char* init =
    "One CTP trading session of one account.\n"
    "\n"
    "config: the account. None gives a session in status \"ERROR\" that never starts.\n"
    "timeout: seconds without progress after which connecting, a login phase or the synchronisation is\n"
    "    given up and the connection starts over. Once READY, a funds query unanswered that long is asked\n"
    "    again; three failed funds queries within two minutes, none answered in between, end the session.\n"
    "objects: the caller's registry of published objects, id(obj) -> obj. The session registers its\n"
    "    account, positions, orders and trades, and every object it publishes or drops later.\n"
    "native_factory: builds the adapter over the bridge from the account and the flow-file directory.\n"
    "limits: pre-trade rules that insert() checks before anything is sent (see Limits); None: no checks.\n"
    "journal: a folder: the session appends everything it sees and does to one file per account and\n"
    "    trading day there, for `python -m velkor.journal show/replay/verify`. None keeps no journal.\n"
    "\n"
    "Nothing connects before start(). Everything the session learns stays private until commit()\n"
    "copies it into account, positions, orders and trades.";

inline constexpr const char* start_sig = "def start(self) -> None";
inline constexpr const char* start =
    "Starts the session's task on the running asyncio loop: connect to the front, authenticate, log\n"
    "in, confirm the settlement, synchronise the account, then follow its orders and trades. Does\n"
    "nothing when the session has a task already, has been closed or has no account.";

inline constexpr const char* run_sig = "def run(self) -> Coroutine[Any, Any, None]";
inline constexpr const char* run =
    "The session's task (start() creates it): polls the bridge whenever it signals and at the\n"
    "session's next deadline (at least once a second), hands each event to event(), then tick().\n"
    "Time-outs and lost connections restart the connection after 1 s. Returns when a fatal error\n"
    "ends the session: status \"ERROR\", the reason in `error` and in the log (logger\n"
    "\"velkor.trading\").";

inline constexpr const char* event_sig = "def event(self, event: dict[str, Any]) -> None";
inline constexpr const char* event =
    "Applies one event record of the bridge (keys \"name\", \"data\", \"error\", \"request_id\", \"last\").\n"
    "Called by the run loop.";

inline constexpr const char* tick_sig = "def tick(self, now: float) -> None";
inline constexpr const char* tick =
    "Time-outs and query pacing at the monotonic time `now` (seconds): sends the next synchronisation\n"
    "or funds query when due. Raises TimeoutError when the connection must start over. Called by the\n"
    "run loop after each poll.";

inline constexpr const char* insert_sig =
    "def insert(self, symbol: str, direction: Literal['BUY', 'SELL'], offset: Literal['OPEN', 'CLOSE'], "
    "volume: int, limit_price: float) -> Coroutine[Any, Any, list[TradingResult]]";
inline constexpr const char* insert =
    "Sends a limit order, good for the day; answers at once with one TradingResult per order sent.\n"
    "\n"
    "symbol: \"EXCHANGE.instrument\", for example \"SHFE.ag2412\".\n"
    "direction: \"BUY\" or \"SELL\".\n"
    "offset: \"OPEN\" or \"CLOSE\". A close on SHFE or INE is sent as up to two orders, earlier days'\n"
    "    lots first (\"CLOSE_YESTERDAY\"), then today's (\"CLOSE_TODAY\"): two results may come back.\n"
    "volume: lots, an int from 1.\n"
    "limit_price: a positive price on the instrument's tick grid; it is sent as the grid price itself\n"
    "    (a rounding error off the grid is dropped), and the order shows the price sent.\n"
    "\n"
    "\"SUBMITTED\" means the order left for the broker; fills, cancellations and the broker's refusal\n"
    "arrive later and show in `orders` after commit(). Bad arguments, an unready or closed session, or\n"
    "too few free lots to close never raise: the result is \"REJECTED\" with a fixed message. The\n"
    "broker's own reasons are logged (logger \"velkor.trading.orders\"). With `limits`, an insert that\n"
    "breaks a rule is refused whole, before anything is sent, with that rule's fixed message.";

inline constexpr const char* cancel_sig = "def cancel(self, order_id: str) -> list[TradingResult]";
inline constexpr const char* cancel =
    "Asks the broker to cancel a working order; answers at once. [] when there is nothing to cancel\n"
    "(an unknown or finished order, or a cancel already in flight), else one TradingResult. The order\n"
    "turns \"CANCELLED\", or shows cancel_error \"撤单被拒绝\", after a later commit().";

inline constexpr const char* commit_sig = "def commit(self, changes: dict[int, set[str]]) -> bool";
inline constexpr const char* commit =
    "Copies what the session learnt into account, positions, orders and trades, the only place\n"
    "where they change (a new position_view() aside).\n"
    "\n"
    "changes: filled with id(object) -> the names of its fields that changed; a container also gets\n"
    "    the fields changed in its items and \"__members__\" when items came or went.\n"
    "\n"
    "Returns False when nothing changed since the last commit. While the session is not \"READY\" only\n"
    "published_status follows it (the objects keep their last values) and the result tells whether\n"
    "that status changed. Otherwise True.";

inline constexpr const char* position_view_sig =
    "def position_view(self, symbol: str | None) -> Position | LiveMap[str, Position]";
inline constexpr const char* position_view =
    "The published Position of `symbol`, added to `positions` at once when new: zero lots once the\n"
    "session knows the account's positions, None before. With None, the positions map itself. Raises\n"
    "ValueError for a symbol outside a loaded instrument table.";

inline constexpr const char* close_sig = "def close(self) -> Coroutine[Any, Any, None]";
inline constexpr const char* close =
    "Ends the session: from now on insert() and cancel() answer \"not ready\" and send nothing; the\n"
    "status becomes \"DISCONNECTED\" (unless \"ERROR\"), published by the next commit(); the task is\n"
    "cancelled and awaited and the CTP API released. The published objects keep their last values.\n"
    "Closing again does nothing.";

inline constexpr const char* diagnostics_sig = "def diagnostics(self) -> Mapping[str, int]";
inline constexpr const char* diagnostics =
    "How often the session took a slower path, by cause: a read-only snapshot, every name present.\n"
    "\n"
    "\"closing_walk.<cause>\": answers of the free lots to close that a walk over every order gave\n"
    "    instead of the closing-lot index (no_watcher, shared_record, irregular_record,\n"
    "    order_dependent, unusual_lots, index_failed); counted per answer.\n"
    "\"timed_pause.<cause>\": adapters the run loop paused for by time instead of waking on their\n"
    "    descriptor (no_descriptor, descriptor_refused, descriptor_broken, asyncio_replaced) or, with\n"
    "    a replaced module-level `time`, every 0.01 s besides it (clock_replaced), or likewise with a\n"
    "    time-out, a time the session keeps or a clock reading that is no plain int or float\n"
    "    (irregular_time); counted per adapter.\n"
    "\n"
    "The first of each cause in a session is logged as a WARNING (logger \"velkor.trading\").";

inline constexpr const char* limits_sig = "def limits(self) -> Limits | None";
inline constexpr const char* limits_prop = "The pre-trade rules the session was built with; None without them.";

inline constexpr const char* limit_counts_sig = "def limit_counts(self) -> Mapping[str, Any] | None";
inline constexpr const char* limit_counts =
    "What the pre-trade rules count, a read-only snapshot; None for a session without limits.\n"
    "\n"
    "\"active_orders\": orders of the account alive now (sent and not finished, other sessions' too).\n"
    "\"orders_last_second\": orders and cancels this session sent within the second before its last\n"
    "    insert or cancel.\n"
    "\"self_trade_refusals\": inserts refused today because they could trade against the account's own.\n"
    "\"cancels\": contract -> orders cancelled today (by any session; and those this session sent a\n"
    "    cancel for, also when the cancel failed). Each order counts once.\n"
    "\"large_cancels\": the same, for orders of `large_order_volume` lots or more.";

// ---- Limits

inline constexpr const char* limits_init_sig =
    "def __init__(self, *, max_order_volume: int | None = None, max_active_orders: int | None = None, "
    "max_orders_per_second: int | None = None, max_cancels_per_contract: int | None = None, "
    "max_large_cancels_per_contract: int | None = None, large_order_volume: int = 300, self_trade: bool = False) "
    "-> None";
inline constexpr const char* limits_class =
    "Pre-trade rules of a session: Trading(..., limits=Limits(...)). None switches a rule off.\n"
    "\n"
    "max_order_volume: lots in one insert() call, before a close is split.\n"
    "max_active_orders: orders of the account alive at once, other sessions' included; an insert counts\n"
    "    every order it would send.\n"
    "max_orders_per_second: orders and cancels this session sends within any one second.\n"
    "max_cancels_per_contract: orders cancelled per contract and trading day; once reached, new orders\n"
    "    on that contract are refused.\n"
    "max_large_cancels_per_contract: the same for orders of at least large_order_volume lots (default\n"
    "    300); once reached, new orders of that size on that contract are refused.\n"
    "self_trade: refuse an order that could trade against an alive order of the account on the same\n"
    "    contract (a buy at or above an alive sell's price, a sell at or below an alive buy's).\n"
    "\n"
    "Cancels are never refused, only counted. Settings are ints of at least 0 (large_order_volume at\n"
    "least 1) and a bool; anything else raises TypeError or ValueError. Frozen; equal rules compare\n"
    "and hash alike.";

// ---- Native

inline constexpr const char* native_init_sig = "def __init__(self, config: CtpAccount, directory: str | os.PathLike[str]) -> None";
inline constexpr const char* native_init =
    "The adapter over one handle of the bridge velkor._kestro: creates a CTP API for config.front_url\n"
    "with its flow files in `directory` and starts connecting. Raises VelkorError when the bridge\n"
    "cannot be loaded.";

inline constexpr const char* native_request_sig =
    "def request(self, method: str, data: dict[str, Any], request_id: int) -> int";
inline constexpr const char* native_request =
    "Sends one CTP request: its name (\"OrderInsert\", \"QryTradingAccount\", ...), its fields by CTP\n"
    "field name and its request id. Returns CTP's result: 0 sent, -1 network failure, -2 and -3 flow\n"
    "control.";

inline constexpr const char* native_poll_sig = "def poll(self) -> list[dict[str, Any]]";
inline constexpr const char* native_poll = "The event records queued since the last poll, oldest first.";

inline constexpr const char* native_close_sig = "def close(self) -> None";
inline constexpr const char* native_close =
    "Releases the CTP API: no callback arrives afterwards. Closing again does nothing.";

inline constexpr const char* native_fileno_sig = "def fileno(self) -> int | None";
inline constexpr const char* native_fileno =
    "The bridge's readiness descriptor for this handle: readable once events are queued. The run\n"
    "loop watches it to poll as soon as the front speaks. None when the bridge has none.";

}  // namespace velkor::trading::doc
