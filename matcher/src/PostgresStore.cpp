// The store in PostgreSQL: one catalogue that several stateless service
// instances share.
//
// Tables (in the first schema of the connection's search path):
//   vextune_schema (version)        the layout's version, checked on open
//   vextune_index_format (format)   the landmark format of the index
//                                   (Store::IndexFormat), checked on open
//   tracks (id, title, artist, source, content UNIQUE, frames, postings)
//   postings (hash, track, frame)   primary key (hash, track, frame)
//   track_peaks (track, block, peaks)  a track's peaks, 2048 frames a row
//                                   (see StoreSupport.h); none for a track
//                                   added before version 2, or without them
// Track ids come from a sequence, so they are never handed out twice. The
// postings' primary key is their lookup path: a query's hashes are one scan
// of it, already in (hash, track, frame) order. Hashes are int8 so that every
// uint32 sorts as itself; it costs no space, since a row of int8 + 2 x int4
// pads to the same 40 bytes as one of 3 x int4. Removal finds a track's
// postings through a BRIN index on track: rows go in one track after another,
// so a few block ranges hold each track, for a few kilobytes in all.
//
// Adding a track is one transaction (the track's row, then its postings by
// COPY); a lookup is one statement, one snapshot: readers see a track wholly
// or not at all, here and in every other instance. pqxx connections are not
// for sharing between threads, so each reader borrows one from a pool that
// grows to the number of readers at once. Reads and writes have a pool
// each: given a primary and its streaming replicas (a multi-host URI),
// reads go to the replicas, spread over them, and writes to the primary.
// A replica shows a commit a moment after the primary: a reader there sees
// a track wholly, once it is replayed.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <thread>
#include <tuple>

#include <libpq-fe.h>
#include <pqxx/pqxx>

#include "PostgresShard.h"
#include "StoreSupport.h"
#include "vextune/matcher/Store.h"

namespace vxt::matcher {
namespace {

constexpr int kSchemaVersion = 2;

// kMigrations[v] takes a catalogue at version v to version v + 1; version 0
// is an empty database.
const char* const kMigrations[kSchemaVersion] = {
    R"(
CREATE TABLE vextune_schema (version int4 NOT NULL);
CREATE SEQUENCE track_ids AS int4 START 1 NO CYCLE;
CREATE TABLE tracks (
    id int4 PRIMARY KEY DEFAULT nextval('track_ids'),
    title text NOT NULL,
    artist text NOT NULL,
    source text NOT NULL,
    content text NOT NULL UNIQUE,
    frames int8 NOT NULL,
    postings int8 NOT NULL
);
ALTER SEQUENCE track_ids OWNED BY tracks.id;
CREATE TABLE postings (
    hash int8 NOT NULL,
    track int4 NOT NULL,
    frame int4 NOT NULL,
    PRIMARY KEY (hash, track, frame)
);
CREATE INDEX postings_by_track ON postings USING brin (track) WITH (autosummarize = on);
)",
    R"(
CREATE TABLE track_peaks (
    track int4 NOT NULL,
    block int4 NOT NULL,
    peaks bytea NOT NULL,
    PRIMARY KEY (track, block)
);
)",
};

// A track's peaks are stored in blocks of this many frames (about 16 s), so
// that a query's window of a track is a row or two.
constexpr int kPeakBlockBits = 11;

// Any two processes opening a catalogue read-write take this lock while
// they check (and make) its tables.
constexpr long long kSchemaLock = 0x76787473746f7265;  // "vxtstore"

// Idle connections kept for the next reader; more are closed when returned.
constexpr std::size_t kIdleConnections = 16;

// How stale IndexedFrames may be when other processes write.
constexpr auto kFramesRefresh = std::chrono::seconds(1);

// The URI as it may be shown: without a password, either in the user part
// or as a parameter.
std::string Redacted(const std::string& uri)
{
    std::string out = uri;
    const std::size_t scheme = out.find("://");
    if (scheme != std::string::npos) {
        const std::size_t start = scheme + 3;
        const std::size_t end = std::min(out.find_first_of("/?", start), out.size());
        const std::size_t at = out.rfind('@', end);
        if (at != std::string::npos && at >= start) {
            const std::size_t colon = out.find(':', start);
            if (colon < at)
                out.replace(colon + 1, at - colon - 1, "***");
        }
    }
    for (std::size_t at = out.find("password="); at != std::string::npos; at = out.find("password=", at + 1)) {
        const std::size_t value = at + 9;
        const std::size_t end = std::min(out.find_first_of("& ", value), out.size());
        out.replace(value, end - value, "***");
    }
    return out;
}

template <typename T>
T Number(const pqxx::field& field)
{
    T value{};
    const char* text = field.c_str();
    const std::size_t size = field.size();
    const auto [end, error] = std::from_chars(text, text + size, value);
    if (error != std::errc() || end != text + size)
        throw StoreError(std::string("the PostgreSQL store read a number out of range: ") + text);
    return value;
}

// Visits rows of (hash, track, frame) in hash order, each hash's postings
// at once. A row with a negative track is a hash a bounded lookup left out,
// its votes in the frame's place: counted in left_out, not visited.
void VisitPostingRows(const pqxx::result& rows, const PostingVisitor& visit, LookupLeftOut& left_out)
{
    std::vector<Posting> postings;
    std::uint32_t current = 0;
    for (const auto& row : rows) {
        const auto hash = Number<std::uint32_t>(row[0]);
        if (hash != current && !postings.empty()) {
            visit(current, postings);
            postings.clear();
        }
        current = hash;
        if (Number<std::int64_t>(row[1]) < 0) {
            ++left_out.hashes;
            left_out.votes = AddVotes(left_out.votes, Number<std::uint64_t>(row[2]));
            continue;
        }
        postings.push_back({Number<std::uint32_t>(row[1]), Number<std::uint32_t>(row[2])});
    }
    if (!postings.empty())
        visit(current, postings);
}

// Numbers as the text of a PostgreSQL array.
std::string NumberArray(std::span<const std::uint32_t> numbers)
{
    std::string array;
    array.reserve(numbers.size() * 8 + 2);
    array += '{';
    char digits[16];
    for (const std::uint32_t n : numbers) {
        if (array.size() > 1)
            array += ',';
        array.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
    }
    array += '}';
    return array;
}

TrackInfo TrackOf(const pqxx::row& row)
{
    TrackInfo track;
    track.id = Number<std::uint32_t>(row[0]);
    track.title = row[1].c_str();
    track.artist = row[2].c_str();
    track.source = row[3].c_str();
    track.content = row[4].c_str();
    track.frames = Number<std::uint32_t>(row[5]);
    track.postings = Number<std::uint64_t>(row[6]);
    return track;
}

constexpr const char* kTrackColumns = "id, title, artist, source, content, frames, postings";

// The tally next to the data (LandmarkIndex::TallyVotes), one statement:
// the query's landmarks ($1 hashes, $2 frames, $3 the last frame);
// bounded, the hashes kept as lookup_within keeps them ($4 most postings,
// $5 most votes). The votes v (track, offset, hash) are counted by cell,
// each cell with its neighbours a frame either way (a window over the
// track's offsets), each track's best cell kept, the best tracks taken and
// their distinct hashes counted near their cells. Rows: kind 0 a candidate
// (track, offset, votes, hashes), kind 1 the hits, kind 2 what the bounds
// left out (hashes, votes).
//
// The planner cannot see how long the arrays are: it takes the votes for
// millions, and at that many compiles the plan first, a second of JIT for a
// statement of milliseconds. Every statement of the store is small: its
// connections plan without JIT.
void PrepareTally(pqxx::connection& connection)
{
    pqxx::nontransaction(connection).exec("SET jit = off; SET work_mem = '64MB'");
    const std::string votes =
        "v AS MATERIALIZED (SELECT p.track, p.frame::int8 - q.frame AS off, p.hash FROM postings p "
        "JOIN unnest($1::int8[], $2::int8[]) AS q(hash, frame) ON q.hash = p.hash WHERE p.hash = ANY(%s) "
        "AND p.frame::int8 + ($3::int8 - q.frame) + 1 <= 4294967294), "
        "n AS (SELECT track, off, count(*) AS n FROM v GROUP BY track, off), "
        "s AS (SELECT track, off, sum(n) OVER (PARTITION BY track ORDER BY off "
        "RANGE BETWEEN 1 PRECEDING AND 1 FOLLOWING) AS s FROM n), "
        "b AS (SELECT DISTINCT ON (track) track, off, s FROM s ORDER BY track, s DESC, off), "
        "t AS (SELECT track, off, s FROM b ORDER BY s DESC, track LIMIT " +
        std::to_string(kTallyCandidates) +
        ") "
        "SELECT 0, t.track::int8, t.off, t.s::int8, count(DISTINCT v.hash) FROM t "
        "JOIN v ON v.track = t.track AND v.off BETWEEN t.off - 1 AND t.off + 1 GROUP BY t.track, t.off, t.s "
        "UNION ALL SELECT 1, 0, 0, count(*), 0 FROM v";
    const auto with = [&](const char* hashes) {
        std::string text = votes;
        text.replace(text.find("%s"), 2, hashes);
        return text;
    };
    connection.prepare("tally_all", "WITH " + with("ARRAY(SELECT DISTINCT unnest($1::int8[]))"));
    connection.prepare("tally",
                       "WITH w AS (SELECT hash, count(*) AS weight FROM unnest($1::int8[]) AS w(hash) GROUP BY hash), "
                       "c AS (SELECT hash, count(*) AS n FROM postings WHERE hash = ANY(ARRAY(SELECT hash FROM w)) "
                       "GROUP BY hash), "
                       "r AS (SELECT c.hash, c.n * w.weight AS votes, c.n <= $4::int8 AND "
                       "sum(CASE WHEN c.n <= $4::int8 THEN c.n * w.weight ELSE 0 END) "
                       "OVER (ORDER BY c.n, c.hash) <= $5::numeric AS kept FROM c JOIN w USING (hash)), " +
                           with("ARRAY(SELECT hash FROM r WHERE kept)") +
                           " UNION ALL SELECT 2, 0, 0, count(*), coalesce(sum(votes), 0)::int8 FROM r WHERE NOT kept");
    // One row: the counts in the order of the hashes asked, 0 for none.
    connection.prepare("count_postings",
                       "SELECT array_to_string(array_agg(coalesce(c.n, 0) ORDER BY h.i), ',') "
                       "FROM unnest($1::int8[]) WITH ORDINALITY AS h(hash, i) "
                       "LEFT JOIN (SELECT hash, count(*) AS n FROM postings WHERE hash = ANY($1::int8[]) "
                       "GROUP BY hash) c USING (hash)");
}

void Prepare(pqxx::connection& connection)
{
    PrepareTally(connection);
    const std::string columns = kTrackColumns;
    connection.prepare(
        "lookup", "SELECT hash, track, frame FROM postings WHERE hash = ANY($1::int8[]) ORDER BY hash, track, frame");
    // The bounded lookup (LandmarkIndex::LookupWithin): the hashes' counts,
    // the running votes of those within the limit of one hash, fewest
    // postings first, and the postings of those kept; a hash left out comes
    // back as one row of track -1 with the votes it would have brought.
    connection.prepare("lookup_within",
                       "WITH q AS (SELECT hash, weight FROM unnest($1::int8[], $2::int8[]) AS q(hash, weight)), "
                       "c AS (SELECT hash, count(*) AS n FROM postings WHERE hash = ANY($1::int8[]) GROUP BY hash), "
                       "r AS (SELECT c.hash, c.n * q.weight AS votes, c.n <= $3::int8 AND "
                       "sum(CASE WHEN c.n <= $3::int8 THEN c.n * q.weight ELSE 0 END) "
                       "OVER (ORDER BY c.n, c.hash) <= $4::numeric AS kept FROM c JOIN q USING (hash)) "
                       "SELECT hash, track, frame::int8 FROM postings "
                       "WHERE hash = ANY(ARRAY(SELECT hash FROM r WHERE kept)) "
                       "UNION ALL SELECT hash, -1, votes FROM r WHERE NOT kept ORDER BY 1, 2, 3");
    connection.prepare("track", "SELECT " + columns + " FROM tracks WHERE id = $1");
    connection.prepare("track_with_content", "SELECT " + columns + " FROM tracks WHERE content = $1");
    connection.prepare("tracks", "SELECT " + columns + " FROM tracks ORDER BY id");
    connection.prepare("peaks",
                       "SELECT w.i, p.peaks FROM unnest($1::int4[], $2::int4[], $3::int4[], $4::int4[]) "
                       "AS w(track, first_block, last_block, i) "
                       "JOIN track_peaks p ON p.track = w.track AND p.block BETWEEN w.first_block AND w.last_block "
                       "ORDER BY w.i, p.block");
    connection.prepare("totals",
                       "SELECT count(*), coalesce(sum(postings), 0), coalesce(sum(frames), 0), "
                       "pg_total_relation_size('tracks') + pg_total_relation_size('postings') "
                       "+ pg_total_relation_size('track_peaks') + pg_total_relation_size('track_ids') FROM tracks");
    connection.prepare("frames", "SELECT coalesce(sum(frames), 0) FROM tracks");
    connection.prepare("add_track", "INSERT INTO tracks (title, artist, source, content, frames, postings) "
                                    "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (content) DO NOTHING RETURNING id");
    connection.prepare("remove_track", "DELETE FROM tracks WHERE id = $1 RETURNING id");
    connection.prepare("remove_postings", "DELETE FROM postings WHERE track = $1");
    connection.prepare("add_peaks", "INSERT INTO track_peaks (track, block, peaks) VALUES ($1, $2, $3)");
    connection.prepare("remove_peaks", "DELETE FROM track_peaks WHERE track = $1");
}

// Gives up on connections whose answer is late: a connection armed with a
// time is shut down (both ways, at the socket) when the time passes before
// it is disarmed, so that whatever waits on it fails at once. libpq waits
// on its socket without a time limit, and a server that is stopped, or
// whose host is gone, never answers; the server's own statement_timeout
// cannot help then. One thread a store keeps the times.
class Watchdog {
public:
    using Clock = std::chrono::steady_clock;

    Watchdog() : thread_([this](std::stop_token stop) { Watch(stop); }) {}

    // A connection's time, disarmed when this ends.
    class Armed {
    public:
        Armed(Watchdog* watchdog, std::uint64_t id) : watchdog_(watchdog), id_(id) {}
        Armed(Armed&& other) noexcept : watchdog_(std::exchange(other.watchdog_, nullptr)), id_(other.id_) {}
        Armed& operator=(Armed&&) = delete;
        ~Armed() { Disarm(); }

        // True when the time had passed and the connection was shut down.
        bool Disarm()
        {
            if (watchdog_ == nullptr)
                return fired_;
            fired_ = watchdog_->Disarm(id_);
            watchdog_ = nullptr;
            return fired_;
        }

    private:
        Watchdog* watchdog_;
        std::uint64_t id_;
        bool fired_ = false;
    };

    // Arms the socket's time; no time when after is zero.
    Armed Arm(int socket, std::chrono::milliseconds after)
    {
        if (after.count() <= 0 || socket < 0)
            return Armed(nullptr, 0);
        std::lock_guard lock(mutex_);
        const std::uint64_t id = ++last_id_;
        armed_.emplace(id, Entry{socket, Clock::now() + after, false});
        changed_.notify_all();
        return Armed(this, id);
    }

private:
    struct Entry {
        int socket;
        Clock::time_point deadline;
        bool fired;
    };

    bool Disarm(std::uint64_t id)
    {
        std::lock_guard lock(mutex_);
        const auto found = armed_.find(id);
        if (found == armed_.end())
            return false;
        const bool fired = found->second.fired;
        armed_.erase(found);
        return fired;
    }

    // The socket is shut down under the lock: once Disarm has returned, the
    // connection's socket (which may then close, and its number be used
    // again) is never touched.
    void Watch(std::stop_token stop)
    {
        std::unique_lock lock(mutex_);
        while (!stop.stop_requested()) {
            auto next = Clock::time_point::max();
            const auto now = Clock::now();
            for (auto& [id, entry] : armed_) {
                if (entry.fired)
                    continue;
                if (entry.deadline <= now) {
                    ::shutdown(entry.socket, SHUT_RDWR);
                    entry.fired = true;
                } else {
                    next = std::min(next, entry.deadline);
                }
            }
            const std::uint64_t seen = last_id_;
            const auto changed = [&] { return last_id_ != seen; };
            if (next == Clock::time_point::max())
                changed_.wait(lock, stop, changed);
            else
                changed_.wait_until(lock, stop, next, changed);
        }
    }

    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::map<std::uint64_t, Entry> armed_;
    std::uint64_t last_id_ = 0;
    std::jthread thread_;  // last: it stops and joins before the rest goes
};

// What a pool's connections are for. Given several hosts (a primary and its
// replicas, in a multi-host URI), reads go to a replica when one answers and
// to any server otherwise, writes only to a server that takes them.
enum class Purpose { Reads, Writes };

// The connection options the store adds to the caller's: the connect
// time-out, TCP keepalives, so that an idle connection whose peer has gone
// is found out (neither matters on a Unix socket), and the kind of server
// wanted. A read on one host asks nothing of it: libpq would otherwise
// connect twice to a lone primary, looking for a standby first. The
// caller's own settings come after these, and win.
std::string OurOptions(const StoreOptions& options, Purpose purpose, bool several_hosts)
{
    std::string ours = "keepalives=1&keepalives_idle=30&keepalives_interval=10&keepalives_count=3";
    if (options.connect_timeout_ms > 0)
        ours +=
            "&connect_timeout=" + std::to_string(std::max<std::uint32_t>(2, (options.connect_timeout_ms + 999) / 1000));
    if (purpose == Purpose::Writes)
        ours += "&target_session_attrs=read-write";
    else if (several_hosts)
        ours += "&target_session_attrs=prefer-standby";
    return ours;
}

// The caller's URI or key=value string with ours ("a=b&c=d") first.
std::string WithOptions(const std::string& uri, const std::string& ours)
{
    const bool is_uri = uri.starts_with("postgresql://") || uri.starts_with("postgres://");
    if (!is_uri) {
        std::string words = ours;
        std::replace(words.begin(), words.end(), '&', ' ');
        return words + " " + uri;
    }
    const std::size_t query = uri.find('?');
    if (query == std::string::npos)
        return uri + "?" + ours;
    return uri.substr(0, query + 1) + ours + "&" + uri.substr(query + 1);
}

std::vector<std::string> CommaList(const std::string& text)
{
    std::vector<std::string> items;
    std::size_t from = 0;
    for (std::size_t comma; (comma = text.find(',', from)) != std::string::npos; from = comma + 1)
        items.push_back(text.substr(from, comma - from));
    items.push_back(text.substr(from));
    return items;
}

// The hosts of a connection string that names several, so that each new
// connection can try them in an order of its own: libpq tries a list in
// the order given, and without that every reader would land on the first
// replica.
class HostList {
public:
    // The hosts of conninfo (a URI or key=value words, as libpq reads
    // them); none when it names one host or fewer, or libpq cannot read it
    // (it says why when the connection is made).
    static std::optional<HostList> Of(const std::string& conninfo)
    {
        char* error = nullptr;
        PQconninfoOption* parsed = PQconninfoParse(conninfo.c_str(), &error);
        PQfreemem(error);
        if (parsed == nullptr)
            return std::nullopt;
        HostList list;
        for (const PQconninfoOption* o = parsed; o->keyword != nullptr; ++o) {
            if (o->val == nullptr)
                continue;
            const std::string keyword = o->keyword;
            if (keyword == "host")
                list.hosts_ = CommaList(o->val);
            else if (keyword == "hostaddr")
                list.addresses_ = CommaList(o->val);
            else if (keyword == "port")
                list.ports_ = CommaList(o->val);
            else
                list.rest_.emplace_back(keyword, o->val);
        }
        PQconninfoFree(parsed);
        const std::size_t count = std::max(list.hosts_.size(), list.addresses_.size());
        const auto fits = [count](const std::vector<std::string>& l) { return l.empty() || l.size() == count; };
        if (count < 2 || !fits(list.hosts_) || !fits(list.addresses_) ||
            !(list.ports_.size() <= 1 || fits(list.ports_)))
            return std::nullopt;
        return list;
    }

    std::size_t size() const { return std::max(hosts_.size(), addresses_.size()); }

    // The connection string with the hosts in the given order.
    std::string InOrder(const std::vector<std::size_t>& order) const
    {
        std::string words;
        const auto add = [&](const std::string& keyword, const std::string& value) {
            if (!words.empty())
                words += ' ';
            words += keyword;
            words += "='";
            for (const char c : value) {
                if (c == '\'' || c == '\\')
                    words += '\\';
                words += c;
            }
            words += '\'';
        };
        const auto ordered = [&](const std::vector<std::string>& list) {
            std::string joined;
            for (const std::size_t i : order) {
                if (i != order.front())
                    joined += ',';
                joined += list[i];
            }
            return joined;
        };
        if (!hosts_.empty())
            add("host", ordered(hosts_));
        if (!addresses_.empty())
            add("hostaddr", ordered(addresses_));
        if (ports_.size() == 1)
            add("port", ports_[0]);
        else if (!ports_.empty())
            add("port", ordered(ports_));
        for (const auto& [keyword, value] : rest_)
            add(keyword, value);
        return words;
    }

    // Which host a connection reached, from what libpq says of it (the
    // host, or the address when no name was given, and the port); npos
    // when none matches.
    std::size_t Find(const char* host, const char* port) const
    {
        const std::string reached = host ? host : "";
        for (std::size_t i = 0; i < size(); ++i) {
            const std::string& named = !hosts_.empty() && !hosts_[i].empty() ? hosts_[i]
                                       : addresses_.empty()                  ? std::string()
                                                                             : addresses_[i];
            if (named != reached)
                continue;
            if (ports_.size() > 1 && !ports_[i].empty() && port != nullptr && ports_[i] != port)
                continue;
            return i;
        }
        return std::string::npos;
    }

private:
    std::vector<std::string> hosts_, addresses_, ports_;
    std::vector<std::pair<std::string, std::string>> rest_;
};

// A host passed over by a connection (down, or not the kind wanted) is
// tried last by the next ones for this long.
constexpr auto kPassedOver = std::chrono::seconds(30);

// A connection failed to be made: not one to try again at once.
class ConnectFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ConnectionPool;

// A pooled connection counts as one on its host while it lives.
struct OnHost {
    ConnectionPool* pool = nullptr;
    std::size_t host = 0;
    void operator()(pqxx::connection* connection) const;
};
using Connection = std::unique_ptr<pqxx::connection, OnHost>;

// Connections for the readers or the writers, made when none is free. Over
// several hosts each new connection starts at the host with the fewest of
// the pool's connections, hosts that were passed over lately last, and a
// thread is given back an idle connection to the host it last used when
// there is one.
class ConnectionPool {
public:
    ConnectionPool(std::string uri, Purpose purpose, const StoreOptions& options, Watchdog& watchdog)
        : hosts_(HostList::Of(uri)),
          ours_(OurOptions(options, purpose, hosts_.has_value())),
          uri_(WithOptions(uri, ours_)),
          purpose_(purpose),
          setup_timeout_(options.read_timeout_ms),
          statement_timeout_ms_(options.read_timeout_ms),
          watchdog_(watchdog),
          serial_(NextSerial()),
          live_(hosts_ ? hosts_->size() : 1, 0),
          passed_over_until_(live_.size())
    {}

    struct Borrowed {
        Connection connection;
        bool reused = false;
        int dropped = 0;  // idle connections found closed on the way
        // A read that found no replica among several hosts: on this primary.
        std::string on_primary;
    };

    // An idle connection that has not been closed under it, or a new one
    // when none is left (or fresh is set). An idle connection has nothing
    // to read: one that has (the server's last words before it ended the
    // session, or its end) is dropped. Over several hosts, an idle
    // connection to the host this thread last used comes first.
    Borrowed Take(bool fresh)
    {
        int dropped = 0;
        const std::size_t hint = LastHost();
        std::vector<Connection> closed;  // ended once the lock is let go: each counts itself off
        {
            std::lock_guard lock(mutex_);
            while (!fresh && !idle_.empty()) {
                auto pick = std::find_if(idle_.rbegin(), idle_.rend(),
                                         [&](const Connection& c) { return c.get_deleter().host == hint; });
                if (pick == idle_.rend())
                    pick = idle_.rbegin();
                Borrowed borrowed{std::move(*pick), true, dropped, {}};
                idle_.erase(std::next(pick).base());
                pollfd watched{borrowed.connection->sock(), POLLIN, 0};
                if (watched.fd >= 0 && ::poll(&watched, 1, 0) == 0) {
                    SetLastHost(borrowed.connection.get_deleter().host);
                    return borrowed;
                }
                closed.push_back(std::move(borrowed.connection));
                ++dropped;
            }
        }
        std::vector<std::size_t> order;
        std::string conninfo = uri_;
        if (hosts_) {
            order = Order();
            conninfo = WithOptions(hosts_->InOrder(order), ours_);
        }
        std::unique_ptr<pqxx::connection> made;
        try {
            made = std::make_unique<pqxx::connection>(conninfo);
        } catch (const pqxx::broken_connection& e) {
            // Servers that answered but take no writes (replicas) are
            // worth saying plainly; libpq's words follow, host by host.
            const std::string_view reason = e.what();
            if (purpose_ == Purpose::Writes &&
                (reason.find("read-only") != reason.npos || reason.find("standby") != reason.npos))
                throw ConnectFailed(std::string("found no server that takes writes (a primary): ") + e.what());
            throw ConnectFailed(e.what());
        }
        Watchdog::Armed armed = watchdog_.Arm(made->sock(), setup_timeout_);
        bool standby = false;
        try {
            // Notices (a table that already exists, and so on) are the
            // store's business, not the terminal's.
            std::string setup =
                "SET client_min_messages = warning; SET statement_timeout = " + std::to_string(statement_timeout_ms_);
            if (purpose_ == Purpose::Reads)
                setup += "; SET default_transaction_read_only = on";
            if (hosts_)
                setup += "; SELECT pg_is_in_recovery()";
            const pqxx::result answer = pqxx::nontransaction(*made).exec(setup);
            standby = hosts_ && !answer.empty() && answer[0][0].as<bool>();
            Prepare(*made);
        } catch (const std::exception& e) {
            if (armed.Disarm())
                throw ConnectFailed("the server did not answer within " + Seconds(setup_timeout_) + " of connecting");
            throw;
        }
        if (armed.Disarm())
            throw ConnectFailed("the server did not answer within " + Seconds(setup_timeout_) + " of connecting");
        const std::size_t host = hosts_ ? Reached(order, *made, standby) : 0;
        Borrowed borrowed{Connection(made.release(), OnHost{this, host}), false, dropped, {}};
        if (hosts_ && purpose_ == Purpose::Reads && !standby)
            borrowed.on_primary = borrowed.connection->hostname();
        return borrowed;
    }

    void Give(Connection connection)
    {
        {
            std::lock_guard lock(mutex_);
            if (idle_.size() < kIdleConnections)
                idle_.push_back(std::move(connection));
        }
        connection.reset();  // one too many: closed outside the lock, which its count takes
    }

    // Drops every idle connection: one of them broke, so that the server
    // went away and came back, and the rest broke with it.
    void DropIdle()
    {
        std::vector<Connection> dropped;
        {
            std::lock_guard lock(mutex_);
            dropped.swap(idle_);
        }
    }

    static std::string Seconds(std::chrono::milliseconds ms)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms.count()) / 1000.0);
        return text;
    }

private:
    friend struct OnHost;

    static std::uint64_t NextSerial()
    {
        static std::atomic<std::uint64_t> last{0};
        return ++last;
    }

    // The host each pool's connection last came from on this thread, so
    // that one request's reads keep to one replica (whose replay only
    // moves forward) as long as an idle connection to it is free.
    struct Last {
        std::uint64_t pool;
        std::size_t host;
    };
    static std::vector<Last>& Lasts()
    {
        thread_local std::vector<Last> lasts;
        return lasts;
    }
    std::size_t LastHost() const
    {
        for (const Last& last : Lasts()) {
            if (last.pool == serial_)
                return last.host;
        }
        return std::string::npos;
    }
    void SetLastHost(std::size_t host) const
    {
        if (!hosts_)
            return;
        std::vector<Last>& lasts = Lasts();
        std::erase_if(lasts, [&](const Last& last) { return last.pool == serial_; });
        if (lasts.size() >= 8)  // a thread serving more stores than this forgets the oldest
            lasts.erase(lasts.begin());
        lasts.push_back({serial_, host});
    }

    // The hosts in the order a new connection tries them: from the one
    // with the fewest of the pool's connections on round the list, those
    // passed over lately last. (Not from the thread's last host: threads
    // that all shared one idle connection would then pile onto its host.)
    std::vector<std::size_t> Order()
    {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        const std::size_t n = live_.size();
        const auto fresh = [&](std::size_t i) { return passed_over_until_[i] <= now; };
        const auto fewest = [&](bool fresh_only) {
            std::size_t best = std::string::npos;
            for (std::size_t i = 0; i < n; ++i) {
                if ((fresh(i) || !fresh_only) && (best == std::string::npos || live_[i] < live_[best]))
                    best = i;
            }
            return best;
        };
        std::size_t start = fewest(true);
        if (start == std::string::npos)
            start = fewest(false);
        std::vector<std::size_t> order;
        for (std::size_t i = 0; i < n; ++i)
            order.push_back((start + i) % n);
        std::stable_partition(order.begin(), order.end(), fresh);
        return order;
    }

    // Which host a new connection reached; the hosts libpq tried before
    // it are passed over for a while, and so is a primary that a read had
    // to fall back to.
    std::size_t Reached(const std::vector<std::size_t>& order, pqxx::connection& connection, bool standby)
    {
        const std::size_t host = hosts_->Find(connection.hostname(), connection.port());
        std::lock_guard lock(mutex_);
        const auto until = std::chrono::steady_clock::now() + kPassedOver;
        for (const std::size_t i : order) {
            if (i == host)
                break;
            passed_over_until_[i] = until;
        }
        if (host == std::string::npos)
            return live_.size();  // counted nowhere
        if (purpose_ == Purpose::Reads && !standby)
            passed_over_until_[host] = until;
        ++live_[host];
        SetLastHost(host);
        return host;
    }

    void Ended(std::size_t host)
    {
        std::lock_guard lock(mutex_);
        if (host < live_.size() && hosts_)
            --live_[host];
    }

    const std::optional<HostList> hosts_;
    const std::string ours_;
    const std::string uri_;
    const Purpose purpose_;
    const std::chrono::milliseconds setup_timeout_;
    const std::uint32_t statement_timeout_ms_;
    Watchdog& watchdog_;
    const std::uint64_t serial_;
    std::mutex mutex_;
    std::vector<std::size_t> live_;  // the pool's connections on each host
    std::vector<std::chrono::steady_clock::time_point> passed_over_until_;
    std::vector<Connection> idle_;  // last: its connections count themselves off the rest
};

void OnHost::operator()(pqxx::connection* connection) const
{
    delete connection;
    if (pool != nullptr)
        pool->Ended(host);
}

class PostgresStore final : public Store {
public:
    PostgresStore(const std::string& uri, OpenMode mode, const StoreOptions& options)
        : shown_uri_(Redacted(uri)),
          read_only_(mode == OpenMode::ReadOnly),
          read_timeout_(options.read_timeout_ms),
          write_timeout_(options.write_timeout_ms),
          connect_timeout_(options.connect_timeout_ms),
          read_pool_(uri, Purpose::Reads, options, watchdog_),
          write_pool_(uri, Purpose::Writes, options, watchdog_),
          diagnostics_(options.diagnostics)
    {
        Run(
            "open",
            [&](pqxx::connection& connection) {
                const int found = OpenSchema(connection);
                OpenIndexFormat(connection, found, options.any_index_format);
                return 0;
            },
            Kind::Write);
    }

    void Lookup(std::span<const std::uint32_t> hashes, const PostingVisitor& visit) const override
    {
        if (hashes.empty())
            return;
        const std::string array = NumberArray(hashes);
        const pqxx::result rows = Run("look up postings", [&](pqxx::connection& connection) {
            pqxx::nontransaction tx(connection);
            return tx.exec_prepared("lookup", array);
        });

        // The connection is back in the pool: the visitor may take its time.
        LookupLeftOut none;
        VisitPostingRows(rows, visit, none);
    }

    LookupLeftOut LookupWithin(std::span<const std::uint32_t> hashes, std::span<const std::uint32_t> weights,
                               const LookupBounds& bounds, const PostingVisitor& visit) const override
    {
        if (weights.size() != hashes.size())
            throw std::invalid_argument("a bounded lookup needs a weight for every hash");
        LookupLeftOut left_out;
        if (hashes.empty())
            return left_out;
        const std::string hash_array = NumberArray(hashes);
        const std::string weight_array = NumberArray(weights);
        constexpr std::uint64_t kMostInt8 = std::numeric_limits<std::int64_t>::max();
        const auto most_postings = static_cast<std::int64_t>(std::min<std::uint64_t>(bounds.most_postings, kMostInt8));
        const auto most_votes = static_cast<std::int64_t>(std::min<std::uint64_t>(bounds.most_votes, kMostInt8));
        const pqxx::result rows = Run("look up postings", [&](pqxx::connection& connection) {
            pqxx::nontransaction tx(connection);
            return tx.exec_prepared("lookup_within", hash_array, weight_array, most_postings, most_votes);
        });

        // The connection is back in the pool: the visitor may take its time.
        VisitPostingRows(rows, visit, left_out);
        return left_out;
    }

    std::vector<std::uint64_t> CountPostings(std::span<const std::uint32_t> hashes) const override
    {
        std::vector<std::uint64_t> counts(hashes.size(), 0);
        if (hashes.empty())
            return counts;
        const std::string array = NumberArray(hashes);
        const pqxx::result rows = Run("count postings", [&](pqxx::connection& connection) {
            pqxx::nontransaction tx(connection);
            return tx.exec_prepared("count_postings", array);
        });
        const std::string_view text = rows.size() == 1 ? rows[0][0].c_str() : "";
        std::size_t i = 0;
        for (std::size_t at = 0; at < text.size() && i < counts.size(); ++i) {
            const auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), counts[i]);
            if (error != std::errc() || (end != text.data() + text.size() && *end != ','))
                break;
            at = static_cast<std::size_t>(end - text.data()) + 1;
        }
        if (i != counts.size())
            throw StoreError("PostgreSQL store at " + shown_uri_ + ": the counts of postings came back damaged");
        return counts;
    }

    std::optional<VoteTally> TallyVotes(std::span<const Landmark> query, const LookupBounds& bounds) const override
    {
        VoteTally tally;
        if (query.empty())
            return tally;
        std::vector<std::uint32_t> hashes;
        std::vector<std::uint32_t> frames;
        hashes.reserve(query.size());
        frames.reserve(query.size());
        std::uint32_t last = 0;
        for (const Landmark& l : query) {
            hashes.push_back(l.hash);
            frames.push_back(l.frame);
            last = std::max(last, l.frame);
        }
        const std::string hash_array = NumberArray(hashes);
        const std::string frame_array = NumberArray(frames);
        const bool bounded = bounds.most_postings != std::numeric_limits<std::uint32_t>::max() ||
                             bounds.most_votes != std::numeric_limits<std::uint64_t>::max();
        constexpr std::uint64_t kMostInt8 = std::numeric_limits<std::int64_t>::max();
        const auto most_votes = static_cast<std::int64_t>(std::min<std::uint64_t>(bounds.most_votes, kMostInt8));
        const pqxx::result rows = Run("tally votes", [&](pqxx::connection& connection) {
            pqxx::nontransaction tx(connection);
            if (!bounded)
                return tx.exec_prepared("tally_all", hash_array, frame_array, static_cast<std::int64_t>(last));
            return tx.exec_prepared("tally", hash_array, frame_array, static_cast<std::int64_t>(last),
                                    static_cast<std::int64_t>(bounds.most_postings), most_votes);
        });
        for (const auto& row : rows) {
            switch (Number<int>(row[0])) {
            case 0:
                tally.candidates.push_back({Number<std::uint32_t>(row[1]), Number<std::int64_t>(row[2]),
                                            Number<std::uint32_t>(row[3]), Number<std::uint32_t>(row[4])});
                break;
            case 1: tally.hits = Number<std::uint64_t>(row[3]); break;
            default:
                tally.left_out.hashes = Number<std::uint64_t>(row[3]);
                tally.left_out.votes = Number<std::uint64_t>(row[4]);
                break;
            }
        }
        if (tally.candidates.size() > kTallyCandidates)
            throw StoreError("PostgreSQL store at " + shown_uri_ + ": the tally brought back too many candidates");
        std::sort(tally.candidates.begin(), tally.candidates.end(),
                  [](const TallyCandidate& a, const TallyCandidate& b) {
                      return a.votes != b.votes ? a.votes > b.votes : a.track < b.track;
                  });
        return tally;
    }

    // Records this catalogue as shard `place.shard` of `place.shards`, of
    // the catalogue named place.catalogue (empty: the one it records, or a
    // new name when it records none), or checks that it is that: see
    // PostgresShard.h. Sets place.catalogue.
    void Place(ShardPlace& place)
    {
        Run(
            "check the shard's place",
            [&](pqxx::connection& connection) {
                pqxx::work tx(connection);
                AllowWriteTime(tx);
                const bool recorded = !tx.exec1("SELECT to_regclass('vextune_shard') IS NULL")[0].as<bool>();
                if (!recorded && read_only_)
                    throw StoreError("PostgreSQL store at " + shown_uri_ +
                                     " is not a shard of a catalogue (open every shard read-write once, in order, "
                                     "to make them one)");
                if (!read_only_) {
                    tx.exec("SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLock) + ")");
                    tx.exec("CREATE TABLE IF NOT EXISTS vextune_shard (one bool PRIMARY KEY DEFAULT true CHECK (one), "
                            "catalogue text NOT NULL, shard int4 NOT NULL, shards int4 NOT NULL)");
                }
                const pqxx::result rows = tx.exec("SELECT catalogue, shard, shards FROM vextune_shard");
                if (!rows.empty()) {
                    const std::string catalogue = rows[0][0].c_str();
                    const auto shard = Number<std::uint32_t>(rows[0][1]);
                    const auto shards = Number<std::uint32_t>(rows[0][2]);
                    if (shard != place.shard || shards != place.shards ||
                        (!place.catalogue.empty() && catalogue != place.catalogue))
                        throw StoreError(
                            "PostgreSQL store at " + shown_uri_ + " is shard " + std::to_string(shard + 1) + " of " +
                            std::to_string(shards) + " of catalogue " + catalogue + ", named here as shard " +
                            std::to_string(place.shard + 1) + " of " + std::to_string(place.shards) +
                            (place.catalogue.empty() ? std::string() : " of catalogue " + place.catalogue));
                    place.catalogue = catalogue;
                    return 0;
                }
                if (read_only_)
                    throw StoreError("PostgreSQL store at " + shown_uri_ +
                                     " is not a shard of a catalogue (open every shard read-write once, in order, "
                                     "to make them one)");
                if (tx.exec1("SELECT count(*) FROM tracks")[0].as<std::int64_t>() > 0)
                    throw StoreError("PostgreSQL store at " + shown_uri_ +
                                     " holds tracks of its own and is not a shard: only an empty catalogue "
                                     "can become one");
                if (place.catalogue.empty())
                    place.catalogue = tx.exec1("SELECT md5(random()::text || clock_timestamp()::text)")[0].c_str();
                // Ids from this shard are shard + 1 modulo the shards, past
                // any the sequence has handed out already.
                const pqxx::row sequence = tx.exec1("SELECT last_value, is_called FROM track_ids");
                std::uint64_t next = Number<std::uint64_t>(sequence[0]) + (sequence[1].as<bool>() ? 1 : 0);
                while ((next - 1) % place.shards != place.shard)
                    ++next;
                tx.exec("ALTER SEQUENCE track_ids INCREMENT BY " + std::to_string(place.shards) + " RESTART WITH " +
                        std::to_string(next));
                tx.exec_params("INSERT INTO vextune_shard (catalogue, shard, shards) VALUES ($1, $2, $3)",
                               place.catalogue, static_cast<std::int32_t>(place.shard),
                               static_cast<std::int32_t>(place.shards));
                tx.commit();
                return 0;
            },
            Kind::Write);
    }

    std::uint64_t IndexedFrames() const override
    {
        std::lock_guard lock(frames_mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (!frames_ || now - frames_at_ >= kFramesRefresh) {
            frames_ = Run("count the indexed frames", [&](pqxx::connection& connection) {
                pqxx::nontransaction tx(connection);
                return Number<std::uint64_t>(tx.exec_prepared1("frames")[0]);
            });
            frames_at_ = now;
        }
        return *frames_;
    }

    std::vector<std::vector<Peak>> TrackPeaks(std::span<const PeakWindow> windows) const override
    {
        // Each window as (track, first block, last block), numbered from 1
        // in the statement, which answers the rows of every window at once
        // in window and block order.
        std::vector<std::vector<Peak>> lists(windows.size());
        std::string tracks = "{";
        std::string firsts = "{";
        std::string lasts = "{";
        std::string numbers = "{";
        constexpr auto kMaxTrack = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
        for (std::size_t i = 0; i < windows.size(); ++i) {
            const PeakWindow& w = windows[i];
            if (w.track > kMaxTrack || w.from >= w.to)
                continue;
            for (std::string* list : {&tracks, &firsts, &lasts, &numbers}) {
                if (list->size() > 1)
                    *list += ',';
            }
            tracks += std::to_string(w.track);
            firsts += std::to_string(w.from >> kPeakBlockBits);
            lasts += std::to_string((w.to - 1) >> kPeakBlockBits);
            numbers += std::to_string(i);
        }
        if (tracks.size() == 1)
            return lists;
        for (std::string* list : {&tracks, &firsts, &lasts, &numbers})
            *list += '}';
        const pqxx::result rows = Run("read tracks' peaks", [&](pqxx::connection& connection) {
            pqxx::nontransaction tx(connection);
            return tx.exec_prepared("peaks", tracks, firsts, lasts, numbers);
        });
        for (const auto& row : rows) {
            const auto i = Number<std::size_t>(row[0]);
            if (i >= windows.size())
                throw StoreError("PostgreSQL store at " + shown_uri_ + ": peaks came back for no window asked");
            const pqxx::binarystring bytes(row[1]);
            if (!DecodePeaksBetween(bytes.str(), windows[i].from, windows[i].to, lists[i]))
                throw StoreError("PostgreSQL store at " + shown_uri_ + ": the peaks of track " +
                                 std::to_string(windows[i].track) + " are damaged");
        }
        return lists;
    }

    Added Add(const TrackInfo& info, std::span<const Landmark> landmarks, std::span<const Peak> peaks) override
    {
        RefuseWhenReadOnly("add a track");
        const std::vector<Peak> ordered = InTimeOrder(peaks);
        const std::vector<Landmark> sorted = DistinctLandmarks(landmarks);
        constexpr auto kMaxFrame = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
        if (std::any_of(sorted.begin(), sorted.end(), [](const Landmark& l) { return l.frame > kMaxFrame; }))
            throw StoreError("PostgreSQL store at " + shown_uri_ +
                             ": the store keeps frames up to 2^31 - 1, and a landmark of this track is later");

        const Added added = Run(
            "add a track",
            [&](pqxx::connection& connection) -> Added {
                pqxx::work tx(connection);
                AllowWriteTime(tx);
                // Looked for first, so that a repeat does not use up an id.
                if (const pqxx::result existing = tx.exec_prepared("track_with_content", info.content);
                    !existing.empty())
                    return {Number<std::uint32_t>(existing[0][0]), false};
                const pqxx::result inserted =
                    tx.exec_prepared("add_track", info.title, info.artist, info.source, info.content,
                                     static_cast<std::int64_t>(info.frames), static_cast<std::int64_t>(sorted.size()));
                if (inserted.empty()) {
                    // Another process added the same content since: its track.
                    const pqxx::result existing = tx.exec_prepared("track_with_content", info.content);
                    if (existing.empty())
                        throw StoreError("a track of the same content came and went while adding it");
                    return {Number<std::uint32_t>(existing[0][0]), false};
                }
                const auto id = Number<std::uint32_t>(inserted[0][0]);
                pqxx::stream_to copy(tx, "postings", std::vector<std::string>{"hash", "track", "frame"});
                for (const Landmark& l : sorted) {
                    copy << std::make_tuple(static_cast<std::int64_t>(l.hash), static_cast<std::int32_t>(id),
                                            static_cast<std::int32_t>(l.frame));
                }
                copy.complete();
                for (auto from = ordered.begin(); from != ordered.end();) {
                    const std::uint32_t block = from->frame >> kPeakBlockBits;
                    const auto to = std::find_if(from, ordered.end(),
                                                 [&](const Peak& p) { return (p.frame >> kPeakBlockBits) != block; });
                    const std::string bytes = EncodePeaks(std::span<const Peak>(from, to));
                    tx.exec_prepared("add_peaks", static_cast<std::int32_t>(id), static_cast<std::int32_t>(block),
                                     pqxx::binarystring(bytes.data(), bytes.size()));
                    from = to;
                }
                tx.commit();
                return {id, true};
            },
            Kind::Write);
        if (added.added)
            ForgetFrames();
        return added;
    }

    bool Remove(std::uint32_t id) override
    {
        RefuseWhenReadOnly("remove a track");
        if (id > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()))
            return false;
        const bool removed = Run(
            "remove a track",
            [&](pqxx::connection& connection) {
                pqxx::work tx(connection);
                AllowWriteTime(tx);
                if (tx.exec_prepared("remove_track", static_cast<std::int32_t>(id)).empty())
                    return false;
                tx.exec_prepared("remove_postings", static_cast<std::int32_t>(id));
                tx.exec_prepared("remove_peaks", static_cast<std::int32_t>(id));
                tx.commit();
                return true;
            },
            Kind::Write);
        if (removed)
            ForgetFrames();
        return removed;
    }

    bool ReplacePostings(std::uint32_t id, std::span<const Landmark> landmarks) override
    {
        RefuseWhenReadOnly("rebuild a track's postings");
        if (id > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()))
            return false;
        const std::vector<Landmark> sorted = DistinctLandmarks(landmarks);
        constexpr auto kMaxFrame = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
        if (std::any_of(sorted.begin(), sorted.end(), [](const Landmark& l) { return l.frame > kMaxFrame; }))
            throw StoreError("PostgreSQL store at " + shown_uri_ +
                             ": the store keeps frames up to 2^31 - 1, and a landmark of this track is later");
        return Run(
            "rebuild a track's postings",
            [&](pqxx::connection& connection) {
                pqxx::work tx(connection);
                AllowWriteTime(tx);
                if (tx.exec_params("UPDATE tracks SET postings = $2 WHERE id = $1 RETURNING id",
                                   static_cast<std::int32_t>(id), static_cast<std::int64_t>(sorted.size()))
                        .empty())
                    return false;
                tx.exec_prepared("remove_postings", static_cast<std::int32_t>(id));
                pqxx::stream_to copy(tx, "postings", std::vector<std::string>{"hash", "track", "frame"});
                for (const Landmark& l : sorted) {
                    copy << std::make_tuple(static_cast<std::int64_t>(l.hash), static_cast<std::int32_t>(id),
                                            static_cast<std::int32_t>(l.frame));
                }
                copy.complete();
                tx.commit();
                return true;
            },
            Kind::Write);
    }

    std::string IndexFormat() const override
    {
        return Run("read the landmark format", [&](pqxx::connection& connection) {
            pqxx::read_transaction tx(connection);
            return ReadIndexFormat(tx);
        });
    }

    void SetIndexFormat(const std::string& format) override
    {
        RefuseWhenReadOnly("record the landmark format");
        Run(
            "record the landmark format",
            [&](pqxx::connection& connection) {
                pqxx::work tx(connection);
                AllowWriteTime(tx);
                tx.exec("CREATE TABLE IF NOT EXISTS vextune_index_format (format text NOT NULL)");
                tx.exec("DELETE FROM vextune_index_format");
                tx.exec("INSERT INTO vextune_index_format (format) VALUES (" + tx.quote(format) + ")");
                tx.commit();
                return 0;
            },
            Kind::Write);
    }

    std::optional<TrackInfo> Track(std::uint32_t id) const override
    {
        if (id > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()))
            return std::nullopt;
        return OneTrack("read a track", "track", static_cast<std::int32_t>(id));
    }

    std::optional<TrackInfo> TrackWithContent(std::string_view content) const override
    {
        return OneTrack("find a track by content", "track_with_content", std::string(content));
    }

    std::vector<TrackInfo> Tracks() const override
    {
        return Run("list the tracks", [&](pqxx::connection& connection) {
            pqxx::nontransaction tx(connection);
            std::vector<TrackInfo> tracks;
            for (const auto& row : tx.exec_prepared("tracks"))
                tracks.push_back(TrackOf(row));
            return tracks;
        });
    }

    StoreTotals Totals() const override
    {
        return Run("count the catalogue", [&](pqxx::connection& connection) {
            pqxx::nontransaction tx(connection);
            const pqxx::row row = tx.exec_prepared1("totals");
            return StoreTotals{Number<std::uint64_t>(row[0]), Number<std::uint64_t>(row[1]),
                               Number<std::uint64_t>(row[2]), Number<std::uint64_t>(row[3])};
        });
    }

private:
    enum class Kind { Read, Write };

    // Runs work on a borrowed connection, within the time of its kind, and
    // gives the connection back. A connection that broke while idle (the
    // server restarted, an administrator ended it) is dropped with every
    // other idle one, and the work tried once more on a new connection:
    // every operation here is safe to repeat, since adding the same content
    // twice adds it once. A server that does not answer in time is given up
    // on, not tried again. Everything that goes wrong becomes a StoreError.
    template <typename Work>
    auto Run(const char* what, Work&& work, Kind kind = Kind::Read) const
        -> decltype(work(std::declval<pqxx::connection&>()))
    {
        const std::chrono::milliseconds timeout = kind == Kind::Read ? read_timeout_ : write_timeout_;
        ConnectionPool& pool = PoolFor(kind);
        for (int attempt = 0;; ++attempt) {
            ConnectionPool::Borrowed borrowed;
            std::optional<Watchdog::Armed> armed;
            const auto late = [&] { return armed && armed->Disarm(); };
            try {
                borrowed = pool.Take(attempt > 0);
                if (borrowed.dropped > 0 && diagnostics_)
                    diagnostics_("PostgreSQL store at " + shown_uri_ + ": " + what + ": " +
                                 std::to_string(borrowed.dropped) + " idle connection" +
                                 (borrowed.dropped == 1 ? " had" : "s had") +
                                 " been closed by the server (dropped: a new one took their place)");
                if (!borrowed.on_primary.empty() && diagnostics_)
                    diagnostics_("PostgreSQL store at " + shown_uri_ + ": " + what +
                                 ": no replica answered: reading from the primary at " + borrowed.on_primary);
                armed.emplace(watchdog_.Arm(borrowed.connection->sock(), timeout));
                auto result = work(*borrowed.connection);
                if (!late())  // shut down just as the answer came: not to be used again
                    pool.Give(std::move(borrowed.connection));
                return result;
            } catch (const ConnectFailed& e) {
                throw StoreError(Message(what, std::string("could not connect within ") +
                                                   ConnectionPool::Seconds(connect_timeout_) + ": " + e.what()));
            } catch (const StoreError& e) {
                if (!late() && borrowed.connection && borrowed.connection->is_open())
                    pool.Give(std::move(borrowed.connection));
                if (std::string_view(e.what()).starts_with("PostgreSQL store at "))
                    throw;
                throw StoreError(Message(what, e.what()));  // every error names the store
            } catch (const pqxx::broken_connection& e) {
                if (late())
                    throw StoreError(
                        Message(what, "the server did not answer within " + ConnectionPool::Seconds(timeout)));
                if (borrowed.reused && attempt == 0) {
                    // Got over, but why is worth knowing: a server that
                    // restarts or ends idle connections shows up here.
                    pool.DropIdle();
                    if (diagnostics_)
                        diagnostics_(Message(what, e.what()) +
                                     " (an idle connection had broken: tried again on a new one)");
                    continue;
                }
                throw StoreError(Message(what, e.what()));
            } catch (const pqxx::in_doubt_error& e) {
                late();
                throw StoreError(Message(what, e.what()));
            } catch (const std::exception& e) {
                if (late())
                    throw StoreError(
                        Message(what, "the server did not answer within " + ConnectionPool::Seconds(timeout)));
                if (borrowed.connection && borrowed.connection->is_open())
                    pool.Give(std::move(borrowed.connection));
                throw StoreError(Message(what, e.what()));
            }
        }
    }

    // Reads go to replicas where there are some, writes (and the opening of
    // a store that may write) to the primary.
    ConnectionPool& PoolFor(Kind kind) const { return kind == Kind::Write && !read_only_ ? write_pool_ : read_pool_; }

    std::string Message(const char* what, std::string_view error) const
    {
        while (!error.empty() && (error.back() == '\n' || error.back() == ' '))
            error.remove_suffix(1);
        std::string message = "PostgreSQL store at ";
        message += shown_uri_;
        message += ": could not ";
        message += what;
        message += ": ";
        message += error;
        return message;
    }

    void RefuseWhenReadOnly(const char* what) const
    {
        if (read_only_)
            throw StoreError("PostgreSQL store at " + shown_uri_ + " is open read-only: cannot " + what);
    }

    template <typename Key>
    std::optional<TrackInfo> OneTrack(const char* what, const char* statement, const Key& key) const
    {
        return Run(what, [&](pqxx::connection& connection) -> std::optional<TrackInfo> {
            pqxx::nontransaction tx(connection);
            const pqxx::result rows = tx.exec_prepared(statement, key);
            if (rows.empty())
                return std::nullopt;
            return TrackOf(rows[0]);
        });
    }

    // A write's statements may run as long as a write may (the
    // connection's statement_timeout is a read's).
    void AllowWriteTime(pqxx::work& tx) const
    {
        tx.exec("SET LOCAL statement_timeout = " + std::to_string(write_timeout_.count()));
    }

    void ForgetFrames()
    {
        std::lock_guard lock(frames_mutex_);
        frames_.reset();
    }

    // Checks the schema's version; read-write, makes the tables or brings
    // them up to this version.
    // Returns the version found (0: none, the tables were made).
    int OpenSchema(pqxx::connection& connection)
    {
        pqxx::work tx(connection);
        AllowWriteTime(tx);
        if (!read_only_)
            tx.exec("SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLock) + ")");
        int version = 0;
        if (!tx.exec1("SELECT to_regclass('vextune_schema') IS NULL")[0].as<bool>()) {
            const pqxx::result rows = tx.exec("SELECT version FROM vextune_schema");
            if (rows.size() != 1)
                throw StoreError("PostgreSQL store at " + shown_uri_ +
                                 ": the table vextune_schema should hold one row, and holds " +
                                 std::to_string(rows.size()));
            version = rows[0][0].as<int>();
        }
        if (version > kSchemaVersion) {
            throw StoreError("PostgreSQL store at " + shown_uri_ + ": the catalogue is at schema version " +
                             std::to_string(version) + ", newer than this program's " + std::to_string(kSchemaVersion) +
                             ": it was made by a newer program, use that");
        }
        if (version < 0)
            throw StoreError("PostgreSQL store at " + shown_uri_ + ": unknown schema version " +
                             std::to_string(version));
        if (version == kSchemaVersion)
            return version;
        if (read_only_) {
            if (version == 0)
                throw StoreError("PostgreSQL store at " + shown_uri_ +
                                 ": no catalogue here (open it read-write once to make one)");
            throw StoreError("PostgreSQL store at " + shown_uri_ + ": the catalogue is at schema version " +
                             std::to_string(version) + ", older than this program's " + std::to_string(kSchemaVersion) +
                             ": open it read-write once to bring it up to date");
        }
        for (int v = version; v < kSchemaVersion; ++v)
            tx.exec(kMigrations[v]);
        tx.exec("DELETE FROM vextune_schema");
        tx.exec("INSERT INTO vextune_schema (version) VALUES (" + std::to_string(kSchemaVersion) + ")");
        tx.commit();
        return version;
    }

    // The landmark format of the index, in a table of its own,
    // vextune_index_format (format): recorded when the tables are made; a
    // catalogue made before, without the table or with it empty, holds
    // kUnrecordedIndexFormat. An index of another format is refused unless
    // any_format.
    void OpenIndexFormat(pqxx::connection& connection, int found_version, bool any_format)
    {
        pqxx::work tx(connection);
        AllowWriteTime(tx);
        if (!read_only_) {
            tx.exec("SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLock) + ")");
            tx.exec("CREATE TABLE IF NOT EXISTS vextune_index_format (format text NOT NULL)");
            if (found_version == 0)
                tx.exec("INSERT INTO vextune_index_format (format) VALUES (" + tx.quote(LandmarkFormat()) + ")");
        }
        const std::string format = ReadIndexFormat(tx);
        tx.commit();
        if (!any_format && format != LandmarkFormat()) {
            throw StoreError("PostgreSQL store at " + shown_uri_ + ": the index holds landmarks \"" + format +
                             "\" and this program makes \"" + LandmarkFormat() +
                             "\": run `vextune catalogue reindex --db URI`");
        }
    }

    static std::string ReadIndexFormat(pqxx::transaction_base& tx)
    {
        if (tx.exec1("SELECT to_regclass('vextune_index_format') IS NULL")[0].as<bool>())
            return kUnrecordedIndexFormat;
        const pqxx::result rows = tx.exec("SELECT format FROM vextune_index_format");
        return rows.empty() ? std::string(kUnrecordedIndexFormat) : rows[0][0].as<std::string>();
    }

    const std::string shown_uri_;
    const bool read_only_;
    const std::chrono::milliseconds read_timeout_;
    const std::chrono::milliseconds write_timeout_;
    const std::chrono::milliseconds connect_timeout_;
    mutable Watchdog watchdog_;  // before the pool, whose connections it watches, and after it when they go
    mutable ConnectionPool read_pool_;
    mutable ConnectionPool write_pool_;
    const std::function<void(const std::string&)> diagnostics_;

    mutable std::mutex frames_mutex_;
    mutable std::optional<std::uint64_t> frames_;
    mutable std::chrono::steady_clock::time_point frames_at_;
};

}  // namespace

std::unique_ptr<Store> OpenPostgresStore(const std::string& uri, OpenMode mode, const StoreOptions& options)
{
    return std::make_unique<PostgresStore>(uri, mode, options);
}

std::unique_ptr<Store> OpenPostgresShard(const std::string& uri, OpenMode mode, const StoreOptions& options,
                                         ShardPlace& place)
{
    auto store = std::make_unique<PostgresStore>(uri, mode, options);
    store->Place(place);
    return store;
}

}  // namespace vxt::matcher
