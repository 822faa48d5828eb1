// The cluster's shared state lives in Redis and changes only through these scripts, each atomic. Every key starts
// with the prefix P (--redis-prefix, "crw:" by default), every channel with C: P, then "db<N>:" when the database N
// is not 0 (channels are shared by every database). Each script gets both in its first line.
// Keys:
//   P l:<id>      hash of one listing: o (order), n (node), s (socket), a (address), e (entry JSON)
//   P ids         sorted set of listed ids by order;  P n:<node>  set of the ids a node holds
//   P p:<id>      hash of a pending registration (a, e), expiring with the pending time-out
//   P pz          sorted set of pending ids by expiry (counts);  P pa:<address> the same per address
//   P pn:<network> the same per network;  P pnet  hash id -> network;  P pnc  sorted set network -> pending count
//   P seq         listing order counter;  P ev  change counter, carried by every event
//   P alive:<node> expiring liveness key holding the boot token of the process that has the id;  P nodes  set of
//                  the nodes seen
//   P dg          XOR of every listing's digest (the first 32 bits of SHA-1 over id, node, socket, entry)
//   P rt:<id>     invite token bucket of a target (t tokens, at time);  P ra:<address>  the same of an asker
//   P rs:<id>     the networks asking a target lately, each with its share ("tokens at")
// Every change of a listing is published on "C events" as JSON {t:"set"|"del", v:<ev>, id, o, n, s, a, e}; nodes
// apply them in order (older nodes send no a). Invites for a node go to "C i:<node>" as {id, s, x, r, q}; the node
// answers on "C r:<r>" with {q, o:"ok"|"full"|"gone"}. "C h:<node>:<token>" carries each node's link health check.
#pragma once

namespace crw::server::scripts {

inline constexpr const char* kPrelude = R"lua(
local function publish(t)
  t.v = redis.call('INCR', P .. 'ev')
  redis.call('PUBLISH', C .. 'events', cjson.encode(t))
  return t.v
end
local function digest(id, n, s, e)
  local h = tonumber(string.sub(redis.sha1hex(id .. '\n' .. n .. '\n' .. s .. '\n' .. e), 1, 8), 16)
  local d = tonumber(redis.call('GET', P .. 'dg') or '0') or 0
  redis.call('SET', P .. 'dg', bit.bxor(d, h))
end
local function drop(id)
  local k = P .. 'l:' .. id
  local v = redis.call('HMGET', k, 'n', 's', 'e')
  local n = v[1]
  if not n then return false end
  digest(id, n, v[2] or '', v[3] or '')
  redis.call('DEL', k)
  redis.call('ZREM', P .. 'ids', id)
  redis.call('SREM', P .. 'n:' .. n, id)
  publish({t = 'del', id = id})
  return true
end
local function put(id, o, n, s, a, e)
  local k = P .. 'l:' .. id
  local was = redis.call('HMGET', k, 'n', 's', 'e')
  local old = was[1]
  if old and old ~= n then redis.call('SREM', P .. 'n:' .. old, id) end
  if old then digest(id, old, was[2] or '', was[3] or '') end
  digest(id, n, s, e)
  redis.call('HSET', k, 'o', o, 'n', n, 's', s, 'a', a, 'e', e)
  redis.call('ZADD', P .. 'ids', o, id)
  redis.call('SADD', P .. 'n:' .. n, id)
  return publish({t = 'set', id = id, o = o, n = n, s = s, a = a, e = e})
end
local function forgetPending(id)
  local net = redis.call('HGET', P .. 'pnet', id)
  if not net then return end
  redis.call('HDEL', P .. 'pnet', id)
  redis.call('ZREM', P .. 'pn:' .. net, id)
  if tonumber(redis.call('ZINCRBY', P .. 'pnc', -1, net)) <= 0 then redis.call('ZREM', P .. 'pnc', net) end
end
local function nowMs()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
)lua";

// Pending registrations are also counted per network (P pn:<network>, by expiry; P pnet: id -> network; P pnc:
// network -> count). When every place is taken, a newcomer from a network holding fewer takes the place of the
// busiest network's oldest one, so a flood from many addresses cannot shut everyone else out.
// ARGV: id, address, entry, ttl ms, max pending, max pending per address, network, max pending per network
//   -> ok | conflict | full
inline constexpr const char* kRegister = R"lua(
local id, addr, entry, ttl = ARGV[1], ARGV[2], ARGV[3], tonumber(ARGV[4])
local net = ARGV[7] or addr
local a = redis.call('HGET', P .. 'l:' .. id, 'a')
if a and a ~= addr then return 'conflict' end
local pk = P .. 'p:' .. id
local p = redis.call('HGET', pk, 'a')
if p and p ~= addr then return 'conflict' end
local now = nowMs()
local ak = P .. 'pa:' .. addr
for _, old in ipairs(redis.call('ZRANGEBYSCORE', P .. 'pz', '-inf', now)) do forgetPending(old) end
redis.call('ZREMRANGEBYSCORE', P .. 'pz', '-inf', now)
redis.call('ZREMRANGEBYSCORE', ak, '-inf', now)
if not p then
  if redis.call('ZCARD', ak) >= tonumber(ARGV[6]) then return 'full' end
  local mine = tonumber(redis.call('ZSCORE', P .. 'pnc', net) or '0')
  if ARGV[8] and mine >= tonumber(ARGV[8]) then return 'full' end
  if redis.call('ZCARD', P .. 'pz') >= tonumber(ARGV[5]) then
    local top = redis.call('ZREVRANGE', P .. 'pnc', 0, 0, 'WITHSCORES')
    if not top[1] or top[1] == net or tonumber(top[2]) <= mine + 1 then return 'full' end
    local victim = redis.call('ZRANGE', P .. 'pn:' .. top[1], 0, 0)[1]
    if not victim then return 'full' end
    local va = redis.call('HGET', P .. 'p:' .. victim, 'a')
    redis.call('DEL', P .. 'p:' .. victim)
    redis.call('ZREM', P .. 'pz', victim)
    if va then redis.call('ZREM', P .. 'pa:' .. va, victim) end
    forgetPending(victim)
  end
end
redis.call('DEL', pk)
redis.call('HSET', pk, 'a', addr, 'e', entry)
redis.call('PEXPIRE', pk, ttl)
redis.call('ZADD', P .. 'pz', now + ttl, id)
redis.call('ZADD', ak, now + ttl, id)
redis.call('PEXPIRE', ak, ttl)
if not redis.call('HGET', P .. 'pnet', id) then
  redis.call('HSET', P .. 'pnet', id, net)
  redis.call('ZINCRBY', P .. 'pnc', 1, net)
end
redis.call('ZADD', P .. 'pn:' .. net, now + ttl, id)
redis.call('PEXPIRE', P .. 'pn:' .. net, ttl)
return 'ok'
)lua";

// ARGV: id, address, node, socket -> {ok, order, entry, ev} | {none} | {conflict}
inline constexpr const char* kClaim = R"lua(
local id, addr = ARGV[1], ARGV[2]
local pk = P .. 'p:' .. id
local p = redis.call('HMGET', pk, 'a', 'e')
if not p[1] then return {'none'} end
if p[1] ~= addr then return {'conflict'} end
local a = redis.call('HGET', P .. 'l:' .. id, 'a')
if a and a ~= addr then return {'conflict'} end
redis.call('DEL', pk)
redis.call('ZREM', P .. 'pz', id)
redis.call('ZREM', P .. 'pa:' .. addr, id)
forgetPending(id)
local o = redis.call('INCR', P .. 'seq')
local v = put(id, o, ARGV[3], ARGV[4], addr, p[2])
return {'ok', o, p[2], v}
)lua";

// ARGV: id, node, socket -> 1 when that socket's listing was removed
inline constexpr const char* kRelease = R"lua(
local v = redis.call('HMGET', P .. 'l:' .. ARGV[1], 'n', 's')
if v[1] ~= ARGV[2] or v[2] ~= ARGV[3] then return 0 end
drop(ARGV[1])
return 1
)lua";

// ARGV: id, address, entry, deadline (Redis time in ms; 0: none) -> {ok, ev} | {notlisted} | {wrong} | {late}
// Past the deadline the node has answered 503 already, so the update must not happen.
inline constexpr const char* kUpdate = R"lua(
local deadline = tonumber(ARGV[4]) or 0
if deadline > 0 and nowMs() > deadline then return {'late'} end
local v = redis.call('HMGET', P .. 'l:' .. ARGV[1], 'a', 'o', 'n', 's')
if not v[1] then return {'notlisted'} end
if v[1] ~= ARGV[2] then return {'wrong'} end
return {'ok', put(ARGV[1], tonumber(v[2]), v[3], v[4], v[1], ARGV[3])}
)lua";

// Token buckets: one per asking address, one per target, shared by every node. A target's rate is split evenly
// among the networks that asked it in the last 10 s (P rs:<id>, network -> "tokens at"); within its share an
// asker may draw the target's bucket down to minus one burst.
// ARGV: target id, this node, asking address, per-address rate, burst, per-target rate, burst, demo ('1': the target
// is a made-up searcher of this node, only the asker is counted), asking network
//   -> {addrlimited} | {ok} | {notlisted} | {limited} | {local, socket} | {remote, node, socket}
inline constexpr const char* kInvite = R"lua(
local now = nowMs()
local function take(k, rate, burst, floor)
  rate = math.max(rate, 0.001)
  local b = redis.call('HMGET', k, 't', 'at')
  local tokens = burst
  if b[1] then tokens = math.min(burst, tonumber(b[1]) + (now - tonumber(b[2])) * rate / 1000) end
  if tokens < 1 + floor then return false end
  redis.call('HSET', k, 't', tostring(tokens - 1), 'at', tostring(now))
  redis.call('PEXPIRE', k, math.ceil((burst - floor) / rate * 1000) + 1000)
  return true
end
local function share(k, net, rate, burst)
  local all, n, mine, oldest, oldestAt = redis.call('HGETALL', k), 0, nil, nil, nil
  for i = 1, #all, 2 do
    local t, at = string.match(all[i + 1], '^(%S+) (%S+)$')
    at = tonumber(at) or 0
    if all[i] == net then mine = {tonumber(t) or 0, at}
    elseif now - at > 10000 then redis.call('HDEL', k, all[i]); n = n - 1
    elseif not oldestAt or at < oldestAt then oldest, oldestAt = all[i], at end
    n = n + 1
  end
  if not mine then
    if n >= 64 and oldest then redis.call('HDEL', k, oldest) else n = n + 1 end
  end
  local b = math.max(1, burst / n)
  local tokens = b
  if mine then tokens = math.min(b, mine[1] + (now - mine[2]) * rate / n / 1000) end
  local ok = tokens >= 1
  if ok then tokens = tokens - 1 end
  redis.call('HSET', k, net, tostring(tokens) .. ' ' .. tostring(now))
  redis.call('PEXPIRE', k, 11000)
  return ok
end
if not take(P .. 'ra:' .. ARGV[3], tonumber(ARGV[4]), tonumber(ARGV[5]), 0) then return {'addrlimited'} end
if ARGV[8] == '1' then return {'ok'} end
local v = redis.call('HMGET', P .. 'l:' .. ARGV[1], 'n', 's')
if not v[1] then return {'notlisted'} end
if not share(P .. 'rs:' .. ARGV[1], ARGV[9] or ARGV[3], tonumber(ARGV[6]), tonumber(ARGV[7])) then return {'limited'} end
if not take(P .. 'rt:' .. ARGV[1], tonumber(ARGV[6]), tonumber(ARGV[7]), -tonumber(ARGV[7])) then return {'limited'} end
if v[1] == ARGV[2] then return {'local', v[2]} end
return {'remote', v[1], v[2]}
)lua";

// A node that stops takes its listings with it, unless its id has passed to another process. ARGV: node, boot
inline constexpr const char* kGoodbye = R"lua(
local me = ARGV[1]
local holder = redis.call('GET', P .. 'alive:' .. me)
if holder and holder ~= ARGV[2] then return 0 end
for _, id in ipairs(redis.call('SMEMBERS', P .. 'n:' .. me)) do
  if redis.call('HGET', P .. 'l:' .. id, 'n') == me then drop(id) end
end
redis.call('DEL', P .. 'n:' .. me, P .. 'alive:' .. me)
redis.call('SREM', P .. 'nodes', me)
return 1
)lua";

// Takes the node id for this process (refused while another live process holds it), puts the node's own listings
// back (after Redis lost them) and drops those it no longer holds.
// ARGV: node, ttl ms, boot, then per listing: id, order, socket, address, entry
//   -> {'twin'} | {'ok', ids now held by another socket...}
inline constexpr const char* kRestore = R"lua(
local me = ARGV[1]
local holder = redis.call('GET', P .. 'alive:' .. me)
if holder and holder ~= ARGV[3] then return {'twin'} end
local keep = {}
for i = 4, #ARGV, 5 do keep[ARGV[i]] = ARGV[i + 2] end
for _, id in ipairs(redis.call('SMEMBERS', P .. 'n:' .. me)) do
  local v = redis.call('HMGET', P .. 'l:' .. id, 'n', 's')
  if v[1] == me and keep[id] ~= v[2] then drop(id)
  elseif v[1] ~= me then redis.call('SREM', P .. 'n:' .. me, id) end
end
local lost = {'ok'}
local seq = tonumber(redis.call('GET', P .. 'seq') or '0')
for i = 4, #ARGV, 5 do
  local id, o = ARGV[i], tonumber(ARGV[i + 1])
  local v = redis.call('HMGET', P .. 'l:' .. id, 'n', 's')
  if v[1] and (v[1] ~= me or v[2] ~= ARGV[i + 2]) then
    table.insert(lost, id)
  elseif not v[1] then
    put(id, o, me, ARGV[i + 2], ARGV[i + 3], ARGV[i + 4])
    if o > seq then seq = o end
  end
end
redis.call('SET', P .. 'seq', seq)
redis.call('SET', P .. 'alive:' .. me, ARGV[3], 'PX', ARGV[2])
redis.call('SADD', P .. 'nodes', me)
return lost
)lua";

// Every listing with the change counter it reflects -> {ev, id, order, node, socket, entry, address, ...}
inline constexpr const char* kSnapshot = R"lua(
local out = {redis.call('GET', P .. 'ev') or '0'}
for _, id in ipairs(redis.call('ZRANGE', P .. 'ids', 0, -1)) do
  local v = redis.call('HMGET', P .. 'l:' .. id, 'o', 'n', 's', 'e', 'a')
  if v[1] then
    table.insert(out, id)
    table.insert(out, v[1])
    table.insert(out, v[2])
    table.insert(out, v[3])
    table.insert(out, v[4])
    table.insert(out, v[5] or '')
  end
end
return out
)lua";

// Keeps this node alive, sweeps the listings of nodes whose liveness ran out, and tells what a node's mirror should
// hold at this change number. ARGV: node, ttl ms, boot
//   -> {'twin'} | {'ok', 1 if this node was still alive, pending count, nodes swept, ev, listings, digest, time ms}
inline constexpr const char* kHeartbeat = R"lua(
local me = ARGV[1]
local holder = redis.call('GET', P .. 'alive:' .. me)
if holder and holder ~= ARGV[3] then return {'twin'} end
local was = holder and 1 or 0
redis.call('SET', P .. 'alive:' .. me, ARGV[3], 'PX', ARGV[2])
redis.call('SADD', P .. 'nodes', me)
local swept = 0
for _, n in ipairs(redis.call('SMEMBERS', P .. 'nodes')) do
  if n ~= me and redis.call('EXISTS', P .. 'alive:' .. n) == 0 then
    for _, id in ipairs(redis.call('SMEMBERS', P .. 'n:' .. n)) do
      if redis.call('HGET', P .. 'l:' .. id, 'n') == n then drop(id) end
    end
    redis.call('DEL', P .. 'n:' .. n)
    redis.call('SREM', P .. 'nodes', n)
    swept = swept + 1
  end
end
local now = nowMs()
for _, old in ipairs(redis.call('ZRANGEBYSCORE', P .. 'pz', '-inf', now)) do forgetPending(old) end
redis.call('ZREMRANGEBYSCORE', P .. 'pz', '-inf', now)
return {'ok', was, redis.call('ZCARD', P .. 'pz'), swept, redis.call('GET', P .. 'ev') or '0',
        redis.call('ZCARD', P .. 'ids'), redis.call('GET', P .. 'dg') or '0', nowMs()}
)lua";

} // namespace crw::server::scripts
