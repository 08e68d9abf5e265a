-- Nimbra motion-capture frames over UDP, for Wireshark and tshark.
--
-- Load it for one run:   wireshark -X lua_script:nimbra.lua
--                        tshark -X lua_script:nimbra.lua -r take.pcap
-- or for good: copy it into Wireshark's personal Lua plugins folder
-- (Help > About Wireshark > Folders, "Personal Lua Plugins", usually
-- ~/.local/lib/wireshark/plugins/).
--
-- Every frame: sync bytes AA 55, frame ID (u16 LE), payload length N
-- (u16 LE), N payload bytes, CRC-32 (u32 LE; reflected polynomial 0xEDB88320,
-- register started at 1, no final XOR) over everything before it. One UDP
-- datagram may hold several frames back to back. Decoded on UDP ports 9000,
-- 15000 and 16000, and on any other port whose datagram starts with a frame.
--
-- Filter fields: nimbra.id, nimbra.length, nimbra.crc, nimbra.crc.status
-- ("correct" or "incorrect"), nimbra.timestamp, nimbra.joint.name,
-- nimbra.joint.position.{x,y,z}, nimbra.joint.orientation.{w,x,y,z}.

local nimbra = Proto("nimbra", "Nimbra motion-capture frame")

local FRAME_TYPES = {[0] = "Mocap", [1] = "Human body", [3] = "Human hand", [4] = "Human hand"}

local f = nimbra.fields
f.sync = ProtoField.uint16("nimbra.sync", "Sync", base.HEX)
f.id = ProtoField.uint16("nimbra.id", "Frame ID", base.DEC, FRAME_TYPES)
f.length = ProtoField.uint16("nimbra.length", "Payload length", base.DEC)
f.payload = ProtoField.bytes("nimbra.payload", "Payload")
f.crc = ProtoField.uint32("nimbra.crc", "CRC", base.HEX)
f.crc_status = ProtoField.string("nimbra.crc.status", "CRC status")
f.crc_computed = ProtoField.uint32("nimbra.crc.computed", "Computed CRC", base.HEX)
f.timestamp = ProtoField.uint64("nimbra.timestamp", "Timestamp (us)", base.DEC)
f.unused = ProtoField.bytes("nimbra.unused", "Not interpreted")
f.joint = ProtoField.none("nimbra.joint", "Joint")
f.joint_name = ProtoField.string("nimbra.joint.name", "Name")
f.px = ProtoField.float("nimbra.joint.position.x", "Position x")
f.py = ProtoField.float("nimbra.joint.position.y", "Position y")
f.pz = ProtoField.float("nimbra.joint.position.z", "Position z")
f.qw = ProtoField.float("nimbra.joint.orientation.w", "Orientation w")
f.qx = ProtoField.float("nimbra.joint.orientation.x", "Orientation x")
f.qy = ProtoField.float("nimbra.joint.orientation.y", "Orientation y")
f.qz = ProtoField.float("nimbra.joint.orientation.z", "Orientation z")

local bad_crc = ProtoExpert.new("nimbra.crc.bad", "Frame CRC mismatch", expert.group.CHECKSUM, expert.severity.ERROR)
local cut = ProtoExpert.new("nimbra.truncated", "Frame cut short", expert.group.MALFORMED, expert.severity.ERROR)
local stray = ProtoExpert.new("nimbra.stray", "Bytes that do not start a frame", expert.group.MALFORMED,
                              expert.severity.WARN)
nimbra.experts = {bad_crc, cut, stray}

local SKELETON_JOINTS = {
  "Head", "Neck", "Chest", "Spine1", "Spine2", "Waist", "LeftCollar", "LeftShoulder", "LeftElbow",
  "LeftWrist", "LeftHand", "LeftHip", "LeftKnee", "LeftAnkle", "LeftFoot", "LeftThumbNear",
  "LeftThumbMid", "LeftThumbFar", "LeftThumbEnd", "LeftIndexNear", "LeftIndexMid", "LeftIndexFar",
  "LeftIndexEnd", "LeftMiddleNear", "LeftMiddleMid", "LeftMiddleFar", "LeftMiddleEnd",
  "LeftRingNear", "LeftRingMid", "LeftRingFar", "LeftRingEnd", "LeftPinkyNear", "LeftPinkyMid",
  "LeftPinkyFar", "LeftPinkyEnd", "RightCollar", "RightShoulder", "RightElbow", "RightWrist",
  "RightHand", "RightHip", "RightKnee", "RightAnkle", "RightFoot", "RightThumbNear",
  "RightThumbMid", "RightThumbFar", "RightThumbEnd", "RightIndexNear", "RightIndexMid",
  "RightIndexFar", "RightIndexEnd", "RightMiddleNear", "RightMiddleMid", "RightMiddleFar",
  "RightMiddleEnd", "RightRingNear", "RightRingMid", "RightRingFar", "RightRingEnd",
  "RightPinkyNear", "RightPinkyMid", "RightPinkyFar", "RightPinkyEnd"
}

local HAND_JOINTS = {
  "ThumbNear", "ThumbMid", "ThumbFar", "IndexNear", "IndexMid", "IndexFar", "MiddleNear",
  "MiddleMid", "MiddleFar", "RingNear", "RingMid", "RingFar", "PinkyNear", "PinkyMid", "PinkyFar",
  "Arm", "Wrist", "ThumbEnd", "IndexEnd", "MiddleEnd", "RingEnd", "PinkyEnd"
}

-- Body slot k takes the name of skeleton joint HUMAN_BODY_JOINTS[k] (0-based).
local HUMAN_BODY_JOINTS = {5, 11, 40, 4, 12, 41, 3, 13, 42, 2, 14, 43, 1, 6, 35, 0, 7, 36, 8, 37, 9, 38, 10, 39}

-- Payload layouts: payload length, offset of the first pose, pose names.
local LAYOUTS = {
  [0] = {length = 1850, poses = 8, names = SKELETON_JOINTS},
  [1] = {length = 676, poses = 4, names = {}},
  [3] = {length = 620, poses = 4, names = HAND_JOINTS},
  [4] = {length = 620, poses = 4, names = HAND_JOINTS},
}
for k, index in ipairs(HUMAN_BODY_JOINTS) do
  LAYOUTS[1].names[k] = SKELETON_JOINTS[index + 1]
end

local band, bxor, rshift = bit32.band, bit32.bxor, bit32.rshift
local CRC_TABLE = {}
for i = 0, 255 do
  local reg = i
  for _ = 1, 8 do
    if band(reg, 1) ~= 0 then reg = bxor(rshift(reg, 1), 0xEDB88320) else reg = rshift(reg, 1) end
  end
  CRC_TABLE[i] = reg
end

local function frame_crc(bytes)
  local reg = 1
  for i = 0, bytes:len() - 1 do
    reg = bxor(rshift(reg, 8), CRC_TABLE[band(bxor(reg, bytes:get_index(i)), 0xFF)])
  end
  return reg
end

local function add_poses(tree, tvb, first, names)
  for i, name in ipairs(names) do
    local at = first + (i - 1) * 28
    local joint = tree:add(f.joint, tvb(at, 28))
    joint:set_text(string.format("Joint %d: %s", i - 1, name))
    joint:add(f.joint_name, tvb(at, 28), name)
    joint:add_le(f.px, tvb(at, 4))
    joint:add_le(f.py, tvb(at + 4, 4))
    joint:add_le(f.pz, tvb(at + 8, 4))
    joint:add_le(f.qw, tvb(at + 12, 4))
    joint:add_le(f.qx, tvb(at + 16, 4))
    joint:add_le(f.qy, tvb(at + 20, 4))
    joint:add_le(f.qz, tvb(at + 24, 4))
  end
end

-- One frame at `offset`; returns the bytes it took, and a summary.
local function dissect_frame(tvb, tree, offset)
  local left = tvb:len() - offset
  local id = tvb(offset + 2, 2):le_uint()
  local length = tvb(offset + 4, 2):le_uint()
  local size = 10 + length
  local item = tree:add(nimbra, tvb(offset, math.min(size, left)))
  item:add(f.sync, tvb(offset, 2))
  item:add_le(f.id, tvb(offset + 2, 2))
  item:add_le(f.length, tvb(offset + 4, 2))
  local kind = FRAME_TYPES[id] or "Unknown"
  item:append_text(string.format(", %s (ID %d), %d payload bytes", kind, id, length))
  if left < size then
    item:add_proto_expert_info(cut, string.format("Frame cut short: %d of %d bytes", left, size))
    return left, kind .. " (cut)"
  end
  local payload = offset + 6
  if length > 0 then item:add(f.payload, tvb(payload, length)) end
  local stored = tvb(payload + length, 4):le_uint()
  local computed = frame_crc(tvb:bytes(offset, 6 + length))
  item:add_le(f.crc, tvb(payload + length, 4))
  local status = stored == computed and "correct" or "incorrect"
  local status_item = item:add(f.crc_status, tvb(payload + length, 4), status)
  item:add(f.crc_computed, tvb(payload + length, 4), computed):set_generated()
  if stored ~= computed then
    status_item:add_proto_expert_info(bad_crc)
  end
  local summary = kind
  if id == 0 and length >= 8 then
    item:add_le(f.timestamp, tvb(payload, 8))
    summary = string.format("%s %s us", kind, tvb(payload, 8):le_uint64():tonumber())
  end
  local layout = LAYOUTS[id]
  if layout and layout.length == length then
    if layout.poses > 0 and id ~= 0 then item:add(f.unused, tvb(payload, layout.poses)) end
    add_poses(item, tvb, payload + layout.poses, layout.names)
    local rest = layout.poses + #layout.names * 28
    if rest < length then item:add(f.unused, tvb(payload + rest, length - rest)) end
  end
  if status == "incorrect" then summary = summary .. " [CRC incorrect]" end
  return size, summary
end

local function starts_frame(tvb, offset)
  return tvb:len() - offset >= 6 and tvb(offset, 1):uint() == 0xAA and tvb(offset + 1, 1):uint() == 0x55
end

function nimbra.dissector(tvb, pinfo, tree)
  if not starts_frame(tvb, 0) then return 0 end
  pinfo.cols.protocol = "NIMBRA"
  local offset, summaries = 0, {}
  while offset < tvb:len() do
    if not starts_frame(tvb, offset) then
      tree:add_proto_expert_info(stray, string.format("%d bytes that do not start a frame", tvb:len() - offset))
      break
    end
    local taken, summary = dissect_frame(tvb, tree, offset)
    summaries[#summaries + 1] = summary
    offset = offset + taken
  end
  pinfo.cols.info = table.concat(summaries, ", ")
  return tvb:len()
end

-- Other ports: a datagram that starts with sync bytes and a frame length
-- that fits it.
local function heuristic(tvb, pinfo, tree)
  if not starts_frame(tvb, 0) then return false end
  if 10 + tvb(4, 2):le_uint() > tvb:len() then return false end
  nimbra.dissector(tvb, pinfo, tree)
  return true
end

local udp_port = DissectorTable.get("udp.port")
for _, port in ipairs({9000, 15000, 16000}) do
  udp_port:add(port, nimbra)
end
nimbra:register_heuristic("udp", heuristic)
