'use strict';
// The quorvane tool's --help texts. Nothing here loads the add-on: help
// works where PipeWire's library cannot be loaded.

// The volume limit as the add-on reports it; in words alone when the add-on
// cannot be loaded (the help is still wanted then).
function volumeLimit() {
  try {
    return require('./control').volumeLimit();
  } catch {
    return 'the cube root of the audio converter\'s largest channel volume';
  }
}

const EXIT_CODES = `Exit codes: 0 success (and when the reader of the output goes away), 1 nothing
matching, time-out or refused by PipeWire, 2 bad arguments, 3 no PipeWire daemon
reachable, 4 the daemon went away (monitor, link and wait without --reconnect),
130 interrupted while waiting.`;

const NODE_NAMES = `NODE is a node name, an id, or @default-audio-sink / @default-audio-source /
@default-video-source (the default device of that kind now; wpctl's
@DEFAULT_AUDIO_SINK@ / @DEFAULT_AUDIO_SOURCE@ / @DEFAULT_VIDEO_SOURCE@ too).
A name is a "node.name", else the name JACK applications show (the node's
description: "Studio Out"), its nick, or JACK's "NAME-ID" for one of several
nodes of one name.`;

const HELP = {
  main: `Usage: quorvane <command> [options]

Commands:
  nodes [--input|--output|--direction in|out] [--type CLASS] [--props] [--json]
                                         list nodes
  ports [--node NAME|ID] [--json]        list ports (of one node)
  links [--json]                         list links
  monitor [--json] [--reconnect]         print graph events as they happen, until Ctrl-C
  wait NAME [--direction in|out] [--timeout MS]
                                         wait for a node; prints its id
  link OUT IN [--reconnect | --linger]   link two ports, held until Ctrl-C (--linger: kept after exit)
  link --from NODE --to SINK [--reconnect | --linger]
                                         link a node's outputs to a sink's inputs, held until Ctrl-C
  unlink LINK_ID | OUT IN | --from NODE --to SINK
                                         remove links
  route --from KEY=VALUE... --to KEY=VALUE... [--exclusive] [--channels auto|positional]
  route --rules FILE.json                keep routes (re-linking as nodes come and go) until Ctrl-C
  patchbay FILE [--dry-run] [--json]     keep a rules file applied, reloaded as it changes, until Ctrl-C
  snapshot [--all]                       print the links now as a rules file
  import FILE.qpwgraph [--strict]        print a qpwgraph patchbay as a rules file
  service install [FILE] | uninstall     write (remove) a systemd user unit running "patchbay FILE"
  create sink|mic|duplex NAME [--channels FL,FR] [--description TEXT] [--linger]
                                         make a virtual device; prints its id, held until Ctrl-C
  destroy NAME|ID                        remove a device made by quorvane (no other node)
  dot [--all]                            the graph in Graphviz DOT (--all: with properties)
  svg [--output FILE]                    the graph as a self-contained SVG picture
  volume NODE [VALUE] [--json]           print or set a node's volume (VALUE 0.5, 50%, +5%, 5%-)
  mute NODE [on|off|toggle] [--json]     mute or unmute a node (no argument: toggle)
  default [audio-sink|audio-source|video-source] [NODE] [--json]
                                         print the default devices, or set one
  move STREAM TARGET | STREAM --clear    ask the session manager to move a stream
  web [--listen HOST:PORT] [--rules FILE] [--open] [--allow-origin ORIGIN]...
                                         the graph live in a browser: link, unlink, volumes, devices
  mqtt --broker mqtt://HOST:PORT [--host-name NAME] [--homeassistant] [--rules FILE]
                                         this host's graph on an MQTT broker, commands taken from it
  stream HOST:NODE HOST:NODE --broker mqtt://HOST:PORT [--latency MS] [--remove]
                                         audio from a node of one bridged host to a node of another
  eq NAME --from-file ParametricEQ.txt [--target NODE] [--media-class Audio/Sink|Audio/Source|Stream]
                                         an equaliser from an AutoEq file; prints its ids, held until Ctrl-C
  loopback FROM TO [--latency MS]        play what FROM gives into TO; prints its ids, held until Ctrl-C
  devices [--json]                       list the sound cards and headsets: profile, output and input port
  profile DEVICE [NAME|INDEX]            print a device's profiles, or select one
  port DEVICE [NAME|INDEX] [--direction output|input]
                                         print a device's ports (routes), or select one
  meter NODE... [--rate HZ] [--json]     level bars of nodes' channels, until Ctrl-C
  top [--json] [--once]                  the daemon's profiler (as pw-top) with the busiest nodes' peaks

Ports are named NODE:PORT (as pw-link shows them) or by id; nodes by name or id,
and by @default-audio-sink / @default-audio-source / @default-video-source
(or wpctl's @DEFAULT_AUDIO_SINK@ / @DEFAULT_AUDIO_SOURCE@ / @DEFAULT_VIDEO_SOURCE@).
An option's value follows it or comes after "=" (--timeout=500); "--" ends the
options (what follows is an argument even if it starts with "-").
Run "quorvane <command> --help" for one command.
${EXIT_CODES}`,
  nodes: `Usage: quorvane nodes [--input|--output|--direction in|out] [--type CLASS] [--props] [--json]
Lists the graph's nodes: id, name, media class (type), role, state (creating,
suspended, idle, running or error), description and application. The role
is what the media class says, in words: "playback device" for a Sink
(speakers, a virtual sink), "capture device" for a Source (a microphone, a
camera), "playback+capture device" for a Duplex, "playback stream" for
Stream/Output (an application playing), "capture stream" for Stream/Input (an
application recording), "-" for other classes. --type keeps the nodes of
one media class (e.g. Audio/Sink). --input keeps what getInputNodes() lists
(media classes with Source or Input, playback streams and duplex devices),
--output what getOutputNodes() lists (Sink or Output, and duplex devices).
--direction out keeps the nodes whose data goes out (sources, playing
streams), in those it goes into (sinks, recording streams). A node without a
media class (a JACK client's, on PipeWire 0.3) is judged by its ports:
--input and --direction in keep it when it has input ports, --output and
--direction out when it has output ports.
--props shows every property of each node; --json prints the nodes as
objects (with their properties under --props).`,
  ports: `Usage: quorvane ports [--node NAME|ID] [--json]
Lists ports: id, owning node, NODE:PORT name, direction (in or out) and type:
audio, midi, video or control, from the port's "format.dsp" (what JACK calls
its type: "32 bit float mono audio", "8 bit raw midi") or its format; "-"
where the port says nothing (--json: "type", null). --node keeps the ports of
the node with that id, or of the nodes with that name.`,
  links: `Usage: quorvane links [--json] [--latency]
Lists links: id, output port, input port (id and NODE:PORT name), state (error
with the daemon's text, unlinked, init, negotiating, allocating, paused, active)
and negotiated format (media type/subtype, sample format, rate, channels,
positions; - before negotiation). --latency adds the latency up to each link's
output port, as its "Latency" param gives it (in quanta, samples and ns, min-max;
- where unknown); with --json as "latency" ({ minQuantum, maxQuantum, minRate,
maxRate, minNs, maxNs } or null).`,
  monitor: `Usage: quorvane monitor [--json] [--reconnect]
Prints "node-created", "node-destroyed", "link-created" and "link-destroyed"
events, one line each, as they happen (starting with every existing node and
link), until Ctrl-C; and "node-changed", "port-changed" and "link-changed",
one line each with what changed: state=, error=, format= and the properties
that changed (KEY="value", -KEY for one removed). --json prints one JSON object
a line ({"event","id", and "state", "error", "format", "props" as changed}).
If the daemon goes away it exits with code 4; with --reconnect it says so on
standard error, waits for the daemon to come back and carries on.`,
  wait: `Usage: quorvane wait NAME [--direction in|out] [--timeout MS]
Waits until a node named exactly NAME (its "node.name", or the name JACK
applications show: its description or nick) is present (default time-out 5000
ms) and prints its id. A default name (@default-audio-sink, @DEFAULT_AUDIO_SINK@, ...)
waits until that default is set and its node present. --direction out waits for
a node whose data goes out (a source, a playing stream), in for one it goes into
(a sink, a recording stream); a node without a media class (a JACK client's
on PipeWire 0.3) by the ports it gets. Input and Output keep their sense of
before (the capture and the playback side). Exit code 1 when the time-out passes first, 130 on Ctrl-C.`,
  link: `Usage: quorvane link OUT IN [--reconnect | --linger]
       quorvane link --from NODE --to SINK [--reconnect | --linger]
Links output port OUT to input port IN (ids, or names as pw-link and JACK
applications show them: NODE:PORT, either part may hold ":", NODE a node's
name or its JACK name (its description), or a port's alias), or the output
ports of NODE to the input ports of SINK (names or ids; a name two nodes share
is refused, naming them), each port to one of its type: audio by audio
channel, then by position among the audio ports (a single mono port to every
channel of the other side); MIDI, video and control ports by position among
their kind. An output with no partner of its type is reported "not linked" on
standard error; when none pairs up the tool exits with code 1. It waits for
the daemon's answer: each link made is reported "link-created", a pair that is
linked already is reported "already linked" and left alone. When the daemon
refuses a link, or fails one it holds, the tool says why and exits with code 1.
Links belong to the connection that made them, so the tool stays running and
removes the links it made (only those) when interrupted (Ctrl-C). If the
daemon goes away it exits with code 4; with --reconnect it makes the links
again once the daemon and both ends are back, and when an end given by name
goes away (a JACK client that quits) once a node of that name is back (for
links that must stand whoever comes and goes, see "quorvane route" and
"quorvane patchbay"). With --linger the links are made
lingering ("object.linger", as pw-link makes them): the tool prints them and
exits 0 at once, and they stay until "quorvane unlink" removes them.`,
  route: `Usage: quorvane route --from KEY=VALUE... --to KEY=VALUE... [--exclusive] [--channels auto|positional]
       quorvane route --rules FILE.json
Keeps a link from each output port of every node matching --from to its partner
input port of every node matching --to, for as long as both exist: nodes that
come later (an application restarting) are linked too, and a link someone
removes is made again. Each --from/--to term is KEY=VALUE on a property of the
node (e.g. application.name=Firefox, media.class=Stream/Output/Audio), or a bare
node name; VALUE written /text/ or /text/FLAGS (FLAGS of i, m, s, u) is a
regular expression, anything else an exact text (/x/y is a path); every term
must match, so each key is given once. @default-audio-sink or
@default-audio-source, alone, is the default device of that kind: when the
default changes, the links move to the new one. --channels auto (default)
pairs ports by "audio.channel" (a MONO side to every channel; by port order
where channels do not pair), positional by port order. --exclusive removes links from the matching sources to anywhere else.
--rules FILE.json keeps several routes:
  { "routes": [ { "from": { "application.name": "/firefox/i" },
                  "to": "virtual-mic", "exclusive": true, "channels": "auto" } ] }
("from"/"to": a node name, a default name or an object of property patterns;
"ports" and captures as in "quorvane patchbay", which runs the file's other
sections: a file that holds them is refused here.)
Prints each link made and removed; carries on across a daemon restart; on
Ctrl-C removes the links it made and exits 0.`,
  patchbay: `Usage: quorvane patchbay FILE [--dry-run] [--json]
Applies a rules file and keeps it applied until SIGINT/SIGTERM (exit 0), one
line per action ("linked app-1:out_FL -> sink:playback_FL (routes[0])"; --json:
one JSON object a line). The file (version 1):
  { "routes":   [{ "from", "to", "channels", "exclusive",
                   "ports": [["monitor_FL", "playback_FL"], ...] }],
    "never":    [{ "from", "to" }],
    "volumes":  [{ "node", "volume", "mute" }],
    "defaults": { "audioSink": ["preferred", "next"], "audioSource": [...] },
    "devices":  [{ "name", "mediaClass", "channels", "description" }] }
"from"/"to"/"node": a node name or an object of property patterns; "/text/FLAGS"
is a regular expression, which may capture: "\${1}" or "\${name}" on the other
side of the route uses the capture. "never" removes matching links whoever
made them; volumes are set once per node as it appears; the first default
present is made the configured default; devices exist while it runs.
A "profiles": [{ "device", "profile" }] section sets each matching device
("device.name" or property patterns) to the profile once as it appears.
"filters" (equalisers, as "quorvane eq" makes them) and "loopbacks" ({ "from",
"to" }) are made while the nodes they name are there (docs/patchbay.md).
The file is reloaded when it changes and on SIGHUP; a broken file is reported
(with its line and column, or the rule and field) and the rules in force stay.
At the end it removes what it made and gives back what exclusive routes took.
Carries on across daemon restarts. --dry-run prints what it would do and exits;
for a rule that would do nothing it says why ("routes[0] links nothing: to: no
node has the name, JACK name, description or nick ..."). A rule's node name
fits a node's "node.name" and the names JACK applications show (its
description, its nick). See docs/patchbay.md and docs/jack.md.`,
  snapshot: `Usage: quorvane snapshot [--all]
Prints the links now as a rules file for "quorvane patchbay": one route per
pair of nodes, with its port pairs by name. The session manager's own links
are left out unless --all.`,
  import: `Usage: quorvane import FILE.qpwgraph [--strict]
Prints a qpwgraph patchbay file's connections as a rules file for "quorvane
patchbay": nodes matched by description or name, ports by name or alias, as
qpwgraph writes them. Each item the rules cannot carry (ALSA items, other
port types, forwards, the exclusive and activated attributes) is reported on
standard error with its line; --strict refuses the file instead (exit 2).
Needs no PipeWire daemon.`,
  service: `Usage: quorvane service install [FILE]
       quorvane service uninstall
install writes the systemd user unit quorvane-patchbay.service, which runs
"quorvane patchbay FILE" (default ~/.config/quorvane/patchbay.json) after
PipeWire and the session manager and restarts it when it fails, and prints
the systemctl --user commands that enable it. uninstall removes it. Neither
runs systemctl. install refuses to run from npx's cache (npx quorvane where
the package is not installed), which npm prunes: install the package first.`,
  create: `Usage: quorvane create sink|mic|duplex NAME [--channels FL,FR] [--description TEXT] [--linger]
Makes a virtual device named NAME: a sink (Audio/Sink, a virtual speaker), a
mic (Audio/Source/Virtual, a virtual microphone applications can record from)
or a duplex (Audio/Duplex), with the given channels (default FL,FR), and
prints its id. Without --linger the tool holds the device until Ctrl-C and
removes it then; the device also goes if the tool is killed, and the tool
ends when "quorvane destroy" removes the device. With --linger the device
stays after the tool exits, until "quorvane destroy NAME". A NAME some node
has already is refused (exit 1).`,
  destroy: `Usage: quorvane destroy NAME|ID
Removes a node made by quorvane ("quorvane create", or graph.createNode), by
name or id. Any other node is refused, and left alone (exit 1).`,
  dot: `Usage: quorvane dot [--all]
Prints the graph in Graphviz DOT: each node a box with its input ports on the
left and its output ports on the right, each link an edge. --all adds every
property of nodes, ports and links. For example:
  quorvane dot | dot -Tsvg > graph.svg`,
  svg: `Usage: quorvane svg [--output FILE]
Writes the graph as a self-contained SVG picture (no Graphviz needed): sources
on the left, sinks on the right, links as curves, node and port names. To
standard output, or to FILE with --output.`,
  get volume() {
    return `Usage: quorvane volume NODE [VALUE] [--json]
Without VALUE prints the node's volume as "wpctl get-volume" does:
"Volume: 0.50", with " [MUTED]" when muted. VALUE sets it: 0.5 or 50% on the
scale wpctl uses (the cube root of the linear channel volume, 1.0 = 100%), or
changes it by a signed amount, +5%, -0.05 or as wpctl writes it, 5%+, 0.05-.
Every channel gets the same volume. The most a node takes is
${volumeLimit()}:
a VALUE above it is refused (exit 2, nothing changed), a step up stops there,
a step down stops at 0. Prints the volume the daemon then reports. --json prints
{"id","name","volume","channelVolumes","mute"}, channelVolumes linear.
A node without volume control (no "Props" volume) is refused (exit 1).
${NODE_NAMES}`;
  },
  mute: `Usage: quorvane mute NODE [on|off|toggle] [--json]
Mutes (on, 1) or unmutes (off, 0) the node; without an argument toggles it, as
a hotkey wants. Prints the node's volume line as "quorvane volume" does.
${NODE_NAMES}`,
  default: `Usage: quorvane default [--json]
       quorvane default audio-sink|audio-source|video-source [NODE] [--json]
Without arguments prints the default devices: the node name the session
manager uses now, its id, and the one the user configured (--json: objects
{"kind","name","id","configured"}). With a kind prints that default's node
name alone: the one in effect, else the configured one (exit 1 when there is
neither). With NODE makes it the configured default of that kind, written as
the session manager expects ("default.configured.audio.sink" etc. in the
"default" metadata), which then makes it the default in effect. Needs a
session manager (exit 1 without).
${NODE_NAMES}`,
  move: `Usage: quorvane move STREAM TARGET
       quorvane move STREAM --clear
Asks the session manager to move a stream to TARGET (like pactl
move-sink-input): sets the stream's "target.object" in the "default"
metadata. --clear removes that, leaving the choice to the session manager
again. Ends once the metadata holds it; the session manager moves the stream
then. Needs a session manager (exit 1 without).
${NODE_NAMES}`,
  web: `Usage: quorvane web [--listen HOST:PORT] [--rules FILE] [--open] [--allow-origin ORIGIN]...
Serves the web patchbay (default 127.0.0.1:8449) until Ctrl-C and prints its
URL, which carries a token made at start in its fragment (#token=...), which
browsers never send to a server: only a browser that opened it gets in. The page shows the graph live; drag an output port to an input port (or
a node onto a node, paired by channel) to link, select a link and press
Delete to unlink; it sets volumes and mutes, the default devices, moves
streams, and creates and removes quorvane's own virtual devices. Links made
from the page belong to the server: they go when it ends.
--listen HOST:PORT another address or port; any address that is not loopback
is reachable from other machines (a warning says so). --rules FILE keeps the
rules of a patchbay file applied (as quorvane patchbay FILE does) and shows
them and what the patchbay did.
--open opens the page with xdg-open through a private file, so that the token
is on no command line. --allow-origin ORIGIN (repeatable) lets in pages served
through a proxy at ORIGIN (https://audio.example). Carries on when the daemon
restarts.
--broker mqtt://HOST:PORT [--username USER [--password-file FILE]] [--ca FILE]
[--topic-prefix PREFIX] shows instead every host a quorvane mqtt bridge keeps
on that broker (a host picker on the page), its controls sent to that host's
bridge; this host's PipeWire is not used.`,
  mqtt: `Usage: quorvane mqtt --broker mqtt://HOST:PORT [--host-name NAME] [--topic-prefix PREFIX]
         [--rules FILE] [--homeassistant [--discovery-prefix PREFIX]]
         [--username USER [--password-file FILE]] [--ca FILE] [--max-rate N] [--mqtt-version 3.1.1|5]
Keeps this host's graph on an MQTT broker until Ctrl-C, as retained messages
under PREFIX/NAME (default quorvane/HOSTNAME): status (online/offline, also the
last will), node/NODE (name, class, state, volume, mute), defaults, links.
Each topic is sent when it changes, at most N times a second (--max-rate,
default 5); nothing while the graph is still. Commands on PREFIX/NAME/set
({"op":"volume","node":"NAME","volume":0.5}; ops volume, mute, default, move,
link, unlink, rules), node/NODE/volume/set, node/NODE/mute/set,
node/NODE/target/set, defaults/KIND/set and rules/set are checked as the web
page's requests are and answered on the MQTT 5 response topic, else on
PREFIX/NAME/reply. --rules FILE keeps a patchbay file applied (replaced by
rules/set). --homeassistant publishes Home Assistant discovery under
homeassistant/: each sink and source a device with volume, mute and state,
the host's default sink and source as selects.
mqtts:// with --ca FILE (the broker's certificate authority) for TLS. The
password is read from --password-file FILE or QUORVANE_MQTT_PASSWORD, never
from the command line. Reconnects to the broker with a growing delay (up to
30 s) and carries on when the PipeWire daemon restarts. See docs/mqtt.md.`,
  stream: `Usage: quorvane stream FROM TO --broker mqtt://HOST:PORT [--latency MS] [--off] [--remove] [--json]
         [--username USER [--password-file FILE]] [--ca FILE] [--topic-prefix PREFIX]
Streams audio from node FROM of one host to node TO of another (each HOST:NODE,
HOST as its bridge's --host-name), both hosts running quorvane mqtt on that
broker: the receiving bridge loads PipeWire's network source on its address,
the sending one the matching sink (ROC where both hosts run PipeWire 1.x with
it, 0.3's RTP between 0.3 hosts), each linked to its node. Prints the codec,
the receiver's address and ports and the latency target once audio flows. The
stream stands without this command, across restarts of either host's bridge
or daemon and of the broker, until --remove. --off keeps it, switched off.
A host receives only into sinks and sends only playing streams and sinks
unless its bridge's rules name the node. See docs/fleet.md.`,
  unlink: `Usage: quorvane unlink LINK_ID
       quorvane unlink OUT IN
       quorvane unlink --from NODE --to SINK
Removes one link by id, the link from port OUT to port IN, or every link from
node NODE to node SINK, whoever made them, and reports each removal.`,
  eq: `Usage: quorvane eq NAME --from-file ParametricEQ.txt [--target NODE] [--media-class CLASS] [--channels N]
Makes an equaliser named NAME from an AutoEq / EqualizerAPO ParametricEQ.txt
file (Preamp and Filter lines: PK, LSC, HSC, LP, HP, NO; OFF lines left out):
by default a sink (Audio/Sink) whose output plays into NODE (--target); an
Audio/Source filters what it captures from NODE; a Stream is both ends.
Prints the ids of its two nodes and holds it until Ctrl-C; it goes with the
tool. A malformed line is refused with its number (exit 2). See docs/effects.md.`,
  loopback: `Usage: quorvane loopback FROM TO [--latency MS] [--name NAME] [--channels N]
Plays what node FROM gives (a source, or a sink's monitor) into node TO, through
PipeWire's loopback module, linked by the tool. Prints the ids of its two nodes
and holds it until Ctrl-C; it goes with the tool.`,
  devices: `Usage: quorvane devices [--json]
Lists the daemon's devices (sound cards, Bluetooth headsets, as "wpctl status"
and "pactl list cards" show them): id, "device.name", description, API, the
active profile and the active output and input port. --json prints each
device whole: its profiles, its routes (ports) and which are active.`,
  profile: `Usage: quorvane profile DEVICE [NAME|INDEX] [--json] [--timeout MS]
Without NAME prints the device's profiles (index, name, description,
availability, priority), the active one marked "*". With a profile's name
(pactl's, output:analog-stereo, a2dp-sink) or index (wpctl's) selects it, as
"wpctl set-profile" and "pactl set-card-profile" do, and ends once the device
shows it (--timeout, default 3000 ms). An unknown or unavailable profile is
refused (exit 1) and nothing is sent.
DEVICE is a device id, its "device.name" (as pactl names cards,
alsa_card.pci-0000_00_1f.3) or its description (as wpctl status shows it).`,
  port: `Usage: quorvane port DEVICE [NAME|INDEX] [--direction output|input] [--json] [--timeout MS]
Without NAME prints the device's ports (PipeWire's routes: speakers,
headphones, ...), the active one of each direction marked "*". With a port's
name (as pactl set-sink-port names it, analog-output-headphones) or index
selects it on the device, saved as the user's choice, and ends once the
device shows it. --direction (also sink or source) picks between an output and
an input port of one name. A port that is not available (unplugged) or not
one of the active profile's is refused (exit 1) and nothing is sent.
DEVICE is a device id, its "device.name" (as pactl names cards,
alsa_card.pci-0000_00_1f.3) or its description (as wpctl status shows it).`,
  meter: `Usage: quorvane meter NODE... [--rate HZ] [--json]
Measures the peak level of each channel of each NODE (its audio outputs: a
sink's monitor, a source's capture, a stream's output) HZ times a second
(default 10, 1 to 60) and shows it as a bar with its dBFS value, redrawn in place
on a terminal; into a pipe or file, one line per node per period. --json prints
one object per node per period: {"t","id","name","channels","peak","rms"}, the
levels in dBFS to a tenth, null for silence.
${NODE_NAMES}
Runs until Ctrl-C or until the reader of the output goes away (exit 0). When a
measured node is removed it says so on standard error and goes on with the
others; when the last one goes it exits with code 4, as when the daemon goes.`,
  top: `Usage: quorvane top [--json] [--once]
Shows what the daemon's profiler reports, as pw-top does, refreshed once a
second: per driver and each node it drives, the quantum, rate, wait and busy
times and their share of the period (W/Q, B/Q), the errors (a driver's xruns, a
follower's unfinished cycles) and the driver's load; PEAK is the peak level
(dBFS) of the busiest few nodes, measured only while they are shown. --json
prints one object per refresh ({"t","drivers":[{..., "followers":[...]}]}, as
graph.profiler() gives it, "peak" on the measured nodes, null for silence);
--once prints one refresh and exits. Needs libpipewire-module-profiler in the
daemon's configuration (PipeWire's default): without it, exit 1 with a message.`,
};

module.exports = { HELP };
