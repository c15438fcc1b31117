-- Tolvane in Ardour 7, headless: run by scripts/daw/ardour-threads.sh through `ardour7-lua`.
--
-- Creates a session on the Dummy backend, puts Tolvane (or TolvaneI) on a track, rolls the
-- transport and then, while Ardour's audio thread processes the plug-in:
--   (i)  changes the plug-in's `Slave#` parameter back and forth between two slave numbers from
--        this (Lua, non-audio) thread, at random intervals;
--   (ii) with the link up, has the slave stopped (SIGSTOP) for a few seconds and continued, and
--        watches how long Ardour's audio thread is kept (its processed-sample counter).
-- Every figure is printed as a `tolvane-daw: key value` line for the driver.
--
-- Settings come from the environment (the driver sets them all):
--   TOLVANE_DAW_SESSION   folder of the new session (must not exist)
--   TOLVANE_DAW_PLUGIN    the plug-in's name in Ardour: "Tolvane" or "Tolvane VSTi"
--   TOLVANE_DAW_SERVED    slave number served by a running slave (14)
--   TOLVANE_DAW_EMPTY     slave number nobody serves (15)
--   TOLVANE_DAW_CHANGES   number of Slave# changes (200)
--   TOLVANE_DAW_MIN_MS, TOLVANE_DAW_MAX_MS   interval between changes (20, 50)
--   TOLVANE_DAW_SLAVE_PID the served slave's process id, for (ii); empty skips (ii)
--   TOLVANE_DAW_STOP_S    how long the slave stays stopped (5)
--   TOLVANE_DAW_BUFFER    the Dummy backend's period in frames (256)
--   TOLVANE_DAW_RATE      the sample rate (48000)

local function say(key, value)
  print(string.format("tolvane-daw: %s %s", key, tostring(value)))
  io.stdout:flush()
end

local function env(name, default)
  local v = os.getenv(name)
  if v == nil or v == "" then return default end
  return v
end

local sessionDir = env("TOLVANE_DAW_SESSION", "/tmp/tolvane-daw-session")
local pluginName = env("TOLVANE_DAW_PLUGIN", "Tolvane")
local served = tonumber(env("TOLVANE_DAW_SERVED", "14"))
local empty = tonumber(env("TOLVANE_DAW_EMPTY", "15"))
local changes = tonumber(env("TOLVANE_DAW_CHANGES", "200"))
local minMs = tonumber(env("TOLVANE_DAW_MIN_MS", "20"))
local maxMs = tonumber(env("TOLVANE_DAW_MAX_MS", "50"))
local slavePid = env("TOLVANE_DAW_SLAVE_PID", "")
local stopSeconds = tonumber(env("TOLVANE_DAW_STOP_S", "5"))
local bufferFrames = tonumber(env("TOLVANE_DAW_BUFFER", "256"))
local rate = tonumber(env("TOLVANE_DAW_RATE", "48000"))

local SLAVE_PARAM = 1 -- the plug-in's parameter index 1, `Slave#`: value (n + 1) / 17

local function now_us() return ARDOUR.LuaAPI.monotonic_time() end
local function sleep_ms(ms) ARDOUR.LuaAPI.usleep(math.floor(ms * 1000)) end

-- The engine and the session ------------------------------------------------------------------

local backend = AudioEngine:set_backend("None (Dummy)", "", "")
if backend:isnil() then
  say("error", "no Dummy backend (set hide-dummy-backend to 0 in Ardour's config)")
  return
end
backend:set_driver("Normal Speed")       -- paced like a sound card
backend:set_device_name("Sine Wave")     -- the capture ports carry sines
backend:set_buffer_size(bufferFrames)

if not create_session(sessionDir, "tolvane", rate) or Session == nil then
  say("error", "create_session failed")
  return
end
local sampleRate = Session:nominal_sample_rate()
say("engine", string.format("%s, %d Hz, %d-frame periods", AudioEngine:current_backend_name(),
  math.floor(sampleRate), backend:buffer_size()))

-- The track and the plug-in --------------------------------------------------------------------

local info = nil
for p in ARDOUR.LuaAPI.list_plugins():iter() do
  if p.name == pluginName and p.type == ARDOUR.PluginType.LXVST then info = p end
end
if info == nil then
  say("error", "Ardour does not list the LXVST plug-in '" .. pluginName .. "' (scan it first)")
  close_session()
  return
end
say("plugin", info.name .. " (" .. info.path .. ")")

-- The effect goes on an audio track; the instrument is the instrument of a MIDI track (so the
-- audio thread also hands it event lists), or on an audio track when TOLVANE_DAW_AUDIO_TRACK=1.
local track, proc
if info:is_instrument() and env("TOLVANE_DAW_AUDIO_TRACK", "0") ~= "1" then
  local tracks = Session:new_midi_track(ARDOUR.ChanCount(ARDOUR.DataType("midi"), 1),
    ARDOUR.ChanCount(ARDOUR.DataType("audio"), 2), true, info, nil, nil, 1, "TolvaneI",
    ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true, false)
  track = tracks:front()
  proc = track:nth_plugin(0)
  say("track", "MIDI track, the plug-in as its instrument")
else
  local tracks = Session:new_audio_track(2, 2, nil, 1, "Tolvane", ARDOUR.PresentationInfo.max_order,
    ARDOUR.TrackMode.Normal, true, false)
  track = tracks:front()
  proc = ARDOUR.LuaAPI.new_plugin(Session, pluginName, ARDOUR.PluginType.LXVST, "")
  if proc:isnil() or track:add_processor_by_index(proc, 0, nil, true) ~= 0 then
    say("error", "cannot insert " .. pluginName .. " on the track")
    close_session()
    return
  end
  say("track", "audio track, the plug-in as its first insert")
end
if proc:isnil() then
  say("error", "no plug-in on the track")
  close_session()
  return
end
-- Listen to the input while the transport rolls, so the plug-in gets signal (sines on the
-- audio inputs).
track:monitoring_control():set_value(ARDOUR.MonitorChoice.MonitorInput, PBD.GroupControlDisposition.NoGroup)

do
  local ok, _, _, pd = pcall(function() return ARDOUR.LuaAPI.plugin_automation(proc, SLAVE_PARAM) end)
  say("param", string.format("%d %s = %.4f", SLAVE_PARAM, ok and pd and pd.label or "?",
    ARDOUR.LuaAPI.get_processor_param(proc, SLAVE_PARAM)))
end

local function setSlave(n)
  local t0 = now_us()
  ARDOUR.LuaAPI.set_processor_param(proc, SLAVE_PARAM, (n + 1) / 17)
  return (now_us() - t0) / 1000.0
end

-- Watching the audio thread ----------------------------------------------------------------------
-- The Dummy backend runs its process thread paced by the wall clock: each period it calls
-- Ardour, which runs the plug-in, then sleeps for the rest of the period. While a call is kept,
-- AudioEngine:processed_samples() stops advancing; the longest time between two advances is the
-- longest kept period, and the samples missing against the wall clock are the time lost.

local Watch = {}
Watch.__index = Watch

function Watch.new()
  local w = setmetatable({}, Watch)
  w.t0 = now_us()
  w.s0 = AudioEngine:processed_samples()
  w.lastT = w.t0
  w.lastS = w.s0
  w.longest = 0
  w.longestAt = 0
  w.over = 0          -- advances that came more than 50 ms after the previous one
  w.perSecond = {}    -- longest gap in each second since the start (ms)
  w.xrun0 = Session:get_xrun_count()
  w.dspMax = 0
  return w
end

function Watch:poll()
  local t = now_us()
  local s = AudioEngine:processed_samples()
  local load = AudioEngine:get_dsp_load()
  if load > self.dspMax then self.dspMax = load end
  if s ~= self.lastS then
    local gap = (t - self.lastT) / 1000.0
    if gap > self.longest then
      self.longest = gap
      self.longestAt = (self.lastT - self.t0) / 1e6
    end
    if gap > 50 then self.over = self.over + 1 end
    local sec = math.floor((t - self.t0) / 1e6) + 1
    if (self.perSecond[sec] or 0) < gap then self.perSecond[sec] = gap end
    self.lastT = t
    self.lastS = s
  end
end

-- Polls every 2 ms for `ms` milliseconds, calling `between` (if any) after each poll.
function Watch:run(ms)
  local stop = now_us() + ms * 1000
  while now_us() < stop do
    self:poll()
    sleep_ms(2)
  end
end

-- Milliseconds missing against the wall clock since the watch began.
function Watch:lost()
  local wall = (now_us() - self.t0) / 1e6
  local processed = (AudioEngine:processed_samples() - self.s0) / sampleRate
  return (wall - processed) * 1000
end

-- The Dummy backend drifts a little behind the wall clock even when nothing is kept (it sleeps
-- a bit more than the period's rest); `drift` (ms per s, measured beforehand) is taken off.
function Watch:report(prefix, drift)
  self:poll()
  local wall = (now_us() - self.t0) / 1e6
  local processed = (AudioEngine:processed_samples() - self.s0) / sampleRate
  say(prefix .. ".wall_s", string.format("%.2f", wall))
  local lost = (wall - processed) * 1000
  say(prefix .. ".lost_ms", string.format("%.0f (%.0f beyond the backend's drift of %.1f ms/s)",
    lost, lost - drift * wall, drift))
  say(prefix .. ".longest_gap_ms", string.format("%.1f at %.2f s", self.longest, self.longestAt))
  say(prefix .. ".gaps_over_50ms", self.over)
  say(prefix .. ".xruns", Session:get_xrun_count() - self.xrun0)
  say(prefix .. ".dsp_load_max_pct", string.format("%.1f", self.dspMax))
  local row = {}
  for i = 1, math.floor(wall) do row[#row + 1] = string.format("%.0f", self.perSecond[i] or 0) end
  say(prefix .. ".longest_gap_per_second_ms", table.concat(row, " "))
end

-- Roll -------------------------------------------------------------------------------------------

Session:request_roll(ARDOUR.TransportRequestSource.TRS_UI)
local t = now_us()
while not Session:transport_rolling() and now_us() - t < 5e6 do sleep_ms(10) end
say("rolling", Session:transport_rolling())

say("first_set_ms", string.format("%.1f (to slave %d)", setSlave(served), served))
sleep_ms(500)
local base = Watch.new()
base:run(2000)
local drift = base:lost() / 2
base:report("baseline", 0)

-- (i) Slave# back and forth ----------------------------------------------------------------------

local watch = Watch.new()
local times = {}
local made = 0
local current = served
local interval = maxMs - minMs
for i = 1, changes do
  current = (current == served) and empty or served
  times[#times + 1] = setSlave(current)
  made = i
  say("change", string.format("%d to slave %d at %.2f s, %.1f ms", i, current,
    (now_us() - watch.t0) / 1e6, times[#times]))
  watch:run(minMs + math.random() * interval)
end
watch:report("changes", drift)
table.sort(times)
say("changes.made", made)
say("changes.set_ms", string.format("median %.1f, max %.1f", times[math.floor(#times / 2) + 1] or 0,
  times[#times] or 0))

-- End on the served slave, and let the link come up again.
if current ~= served then setSlave(served) end
sleep_ms(1500)

-- (ii) the slave stopped for a while -------------------------------------------------------------

if slavePid ~= "" then
  local w = Watch.new()
  w:run(2000)
  os.execute("kill -STOP " .. slavePid)
  local tStop = now_us()
  w:run(stopSeconds * 1000)
  os.execute("kill -CONT " .. slavePid)
  say("stop.stopped_s", string.format("%.2f (from %.2f s)", (now_us() - tStop) / 1e6, (tStop - w.t0) / 1e6))
  w:run(4000)
  w:report("stop", drift)
end

Session:request_stop(false, false, ARDOUR.TransportRequestSource.TRS_UI)
sleep_ms(200)
say("survived", "yes")
close_session()
