# The demo's two virtual buses and its data.db, for scripts/demo and
# scripts/screenshots. Source it with $ktsim set to the built simulator.
#
# Demo bus (ttyKT0), 9600 8N1, and the devices of data.db that read it:
#   station 1 KT101     机房/机柜温度    23.5 ℃, up by 15 ℃ every 90 s: alarm
#                                       (35) for the first ~14 s, abnormal (30)
#                                       ~10 s, normal ~40 s, abnormal ~10 s,
#                                       alarm again
#   station 2 KT104     仓库/货架1..4温度 registers 100..103; channel 3 has
#                                       no sensor (0xFFFF in 102 and 202:
#                                       "错误", alarm)
#   station 3 humidity  仓库/仓库湿度    48 %RH, up by 25 every 60 s: abnormal
#                                       (65) for ~23 s of each period, never alarm
#   station 4 voltage   机房/供电电压    12000 mV, normal
#   station 5 current   机房/回路电流    12000 uA, normal
#   station 6 (none)    机房/空调温度    offline
# The excursions start at their peak, so every state shows within seconds.
demo_bus_args=(--set 2:102:0xFFFF --set 2:202:0xFFFF --excursion 1:100:150:90 --excursion 3:100:25:60)
# Lone module bus (ttyKT1): one KT101 at settings nobody wrote down, station 9
# at 19200 8N1, for the reset sweep (复位通信参数 finds it on its 5th attempt).
# After the reset it takes 9600 8N1 station 1 on a power cycle: kill -HUP its pid.
lone_bus_args=(--module kt101:9:19200:N:1)

bus_pids=()

# start_bus LINK ARGS...: serves a bus linked at LINK, its pid appended to bus_pids.
start_bus() {
  local link=$1 pid
  shift
  # A link left by a killed run would look like the new one.
  [ -L "$link" ] && rm -f "$link"
  "$ktsim" --link "$link" "$@" </dev/null >/dev/null &
  pid=$!
  bus_pids+=("$pid")
  for _ in $(seq 50); do
    [ -L "$link" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "ktsim did not start for $link" >&2
  return 1
}

# start_demo_buses DIR: the demo bus at DIR/ttyKT0, the lone module at DIR/ttyKT1.
start_demo_buses() {
  start_bus "$1/ttyKT0" "${demo_bus_args[@]}" && start_bus "$1/ttyKT1" "${lone_bus_args[@]}"
}

stop_buses() {
  local pid
  for pid in "${bus_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  bus_pids=()
}

# make_demo_db DIR: DIR/data.db as the program itself would have written it
# for these devices, unless it exists (an operator's changes are kept).
# Whole thresholds are integers and fractional ones reals, as the store binds
# the editor's doubles under the columns' INTEGER affinity.
make_demo_db() {
  local db=$1/data.db
  [ -e "$db" ] && return 0
  rm -f "$db.new"
  sqlite3 -bail "$db.new" <<'SQL'
BEGIN;
CREATE TABLE TreeView (                            item VARCHAR(40) NOT NULL,                             parent VARCHAR(40) NOT NULL,                             Level INTEGER NOT NULL);
CREATE TABLE Devices (                            name VARCHAR(40) NOT NULL,                             parent VARCHAR(40) NOT NULL,                             DeviceAddr INTEGER NOT NULL,                             RegAddr INTEGER NOT NULL,                             MaxTemp INTEGER NOT NULL,                             MinTemp INTEGER NOT NULL,                             MaxUnnormalTemp INTEGER NOT NULL,                             MinUnnormalTemp INTEGER NOT NULL,                             Devicetype INTEGER NOT NULL);
CREATE TEMP TABLE Demo (name, parent, DeviceAddr, RegAddr, MaxTemp, MinTemp, MaxUnnormalTemp, MinUnnormalTemp, Devicetype);
INSERT INTO Demo VALUES
  ('机柜温度', '机房', 1, 100, 35, 5, 30, 10, 0),
  ('供电电压', '机房', 4, 100, 13200, 10800, 12600, 11400, 2),
  ('回路电流', '机房', 5, 100, 20000, 4000, 19000, 5000, 3),
  ('空调温度', '机房', 6, 100, 30, 5, 26.5, 10, 0),
  ('仓库湿度', '仓库', 3, 100, 80, 20, 65, 30, 1),
  ('货架1温度', '仓库', 2, 100, 35, 0, 28.5, 12.5, 0),
  ('货架2温度', '仓库', 2, 101, 35, 0, 28.5, 12.5, 0),
  ('货架3温度', '仓库', 2, 102, 35, 0, 28.5, 12.5, 0),
  ('货架4温度', '仓库', 2, 103, 35, 0, 28.5, 12.5, 0);
-- An area, then its devices, each a Devices row and its tree row: the
-- order in which an operator would have entered them.
INSERT INTO TreeView(item,parent,Level)VALUES ('机房','设备列表','1');
INSERT INTO Devices SELECT * FROM Demo WHERE parent = '机房' ORDER BY rowid;
INSERT INTO TreeView(item,parent,Level) SELECT name, parent, 2 FROM Demo WHERE parent = '机房' ORDER BY rowid;
INSERT INTO TreeView(item,parent,Level)VALUES ('仓库','设备列表','1');
INSERT INTO Devices SELECT * FROM Demo WHERE parent = '仓库' ORDER BY rowid;
INSERT INTO TreeView(item,parent,Level) SELECT name, parent, 2 FROM Demo WHERE parent = '仓库' ORDER BY rowid;
COMMIT;
SQL
  mv "$db.new" "$db"
}

# demo_db_summary DIR: what DIR/data.db holds, as the demo's banner says it.
demo_db_summary() {
  sqlite3 -readonly "$1/data.db" \
    "SELECT (SELECT count(*) FROM TreeView WHERE Level = 1) || ' areas, ' || count(*) || ' devices' FROM Devices" \
    2>/dev/null || echo "not readable"
}
