-- The check-in mix of scripts/bench-shore for wrk: mostly periodic
-- check-ins of boats with an open session, some card taps that start a
-- session (each boat of the run's pool once, then its owner's re-taps),
-- some refusals (a card nobody sold, a periodic check-in of a boat without
-- a session). Set through the environment:
--   BENCH_RUNNING   boats 1..N have an open session on card c0000000+N
--   BENCH_POOL_FROM first boat of this run's pool of new sessions; boat B
--                   has time sold on card d0000000+B and no session
--   BENCH_POOL      how many boats the pool holds
--   BENCH_DOCK      first of the boats without a session or a sale
--   BENCH_DELAY_MS  pause before each request on a connection (0: none)
--   BENCH_CLOSE     1: a new connection for every check-in
local running = tonumber(os.getenv("BENCH_RUNNING"))
local pool_from = tonumber(os.getenv("BENCH_POOL_FROM"))
local pool = tonumber(os.getenv("BENCH_POOL"))
local dock = tonumber(os.getenv("BENCH_DOCK"))
local pause = tonumber(os.getenv("BENCH_DELAY_MS") or "0")
local headers = {}
if os.getenv("BENCH_CLOSE") == "1" then
   headers["Connection"] = "close"
end
local path = "/hullgate/checkin.php?RFID=%08x&BoatID=%d&Kind=%s"
local next_new = 0

function init(args)
   math.randomseed(os.time() + tonumber(tostring({}):match("0x(%x+)") or "0", 16) % 100000)
end

function request()
   local r = math.random(100)
   local q
   if r <= 90 then
      local boat = math.random(running)
      q = string.format(path, 0xc0000000 + boat, boat, "periodic")
   elseif r <= 94 then
      local boat = pool_from + next_new % pool
      next_new = next_new + 1
      q = string.format(path, 0xd0000000 + boat, boat, "card")
   elseif r <= 97 then
      q = string.format(path, 0xe0000000 + math.random(1000000), dock + math.random(10), "card")
   else
      local boat = dock + math.random(10)
      q = string.format(path, 0xc0000000 + boat, boat, "periodic")
   end
   return wrk.format("GET", q, headers)
end

if pause > 0 then
   function delay()
      return pause
   end
end
