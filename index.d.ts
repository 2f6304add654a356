// Type declarations for quorvane: a live view of, and control over, the
// PipeWire media graph.
/// <reference lib="es2018.asynciterable" />

/** A node of the graph, as listed by `getNodes()`. */
export interface PwNode {
  /** Registry id. */
  id: number;
  /** "node.name"; "" when the node has none. */
  name: string;
  /** "media.class"; "" when the node has none. */
  type: string;
  /** Interface version announced by the registry. */
  version: number;
  /** Always 0. */
  inputPorts: number;
  /** Always 0. */
  outputPorts: number;
  /** The media class contains "Source" or "Input" (or "Stream/Output", "Duplex"). */
  isInput: boolean;
  /** The media class contains "Sink" or "Output" (or "Stream/Output", "Duplex"). */
  isOutput: boolean;
}

/** A node as listed by `getInputNodes()` / `getOutputNodes()`. */
export interface PwShortNode {
  id: number;
  name: string;
  type: string;
  isInput: boolean;
  isOutput: boolean;
}

/** A port of the graph, as listed by `getPorts()`. */
export interface PwPort {
  id: number;
  /** Id of the node that owns the port (0 when unknown). */
  nodeId: number;
  /** "port.name"; "" when absent. */
  name: string;
  /** 1 for an input port, 0 otherwise. */
  direction: 0 | 1;
  /** Always 0. */
  portType: number;
}

/** A link of the graph, as listed by `getLinks()`. */
export interface PwLink {
  id: number;
  srcNodeId: number;
  srcPortId: number;
  sinkNodeId: number;
  sinkPortId: number;
  /** Name of the output-side node; "" when it is not in the mirror. */
  srcNodeName: string;
  /** Name of the input-side node; "" when it is not in the mirror. */
  sinkNodeName: string;
  /** "dynamic" for links made by `linkNodesNameToId`, else "unknown". */
  format: string;
}

/** Result of `waitForNewNode`. */
export type WaitResult = { found: true; id: number; name: string } | { found: false };

export interface LinkFormat {
  linkId: number;
  format: string;
}

export interface LinkStats {
  linkId: number;
  bytes: number;
  drops: number;
  rate: number;
}

export interface LinkState {
  linkId: number;
  state: 'active';
  srcNode: string;
  sinkNode: string;
}

/** Payload of "node-created". */
export interface NodeCreatedEvent {
  id: number;
  name: string;
  type: string;
}

/** Payload of "link-created". */
export interface LinkCreatedEvent {
  id: number;
  srcNodeId: number;
  srcPortId: number;
  sinkNodeId: number;
  sinkPortId: number;
}

/** Event names and their listener arguments. */
export interface PwEventMap {
  'node-created': NodeCreatedEvent;
  'node-destroyed': number;
  'link-created': LinkCreatedEvent;
  'link-destroyed': number;
}

export type PwEventName = keyof PwEventMap;

/** Connects from a thread of its own; returns true (false only if the thread cannot be created). */
export function createPwThread(verbose?: boolean): boolean;
/** Disconnects and empties the mirror; returns true. */
export function destroyPwThread(): true;

export function getNodes(): PwNode[];
export function getPorts(): PwPort[];
export function getLinks(): PwLink[];
export function getOutputNodes(): PwShortNode[];
export function getInputNodes(): PwShortNode[];
export function getInputNodesName(): string[];
export function getOutputNodesName(): string[];

/** Requests a link; returns 0 at once. The link appears later ("link-created"). */
export function linkPorts(outputPortId: number, inputPortId: number): 0;
/** Queues the removal of a link made by name; false for any other link. */
export function unlinkPorts(outputPortId: number, inputPortId: number): boolean;
/** Links the named node's output ports pairwise to the sink's input ports; returns the requests made. */
export function linkNodesNameToId(srcNodeName: string, dstNodeId: number): number;
/** Queues the removal of every link from the named node to the sink; returns how many. */
export function unlinkNodesNameToId(srcNodeName: string, dstNodeId: number): number;

/** Blocks until a node of that exact name is present, or the time-out (default 5000 ms) passes. */
export function waitForNewNode(name: string, direction?: 'Input' | 'Output', timeoutMs?: number): WaitResult;

export function getLinkFormat(linkId: number): LinkFormat;
export function getLinkStats(linkId: number): LinkStats;
export function getLinkState(linkId: number): LinkState | undefined;

/** Registers the one listener for an event name (replacing an earlier one). */
export function on<E extends PwEventName>(eventName: E, callback: (payload: PwEventMap[E]) => void): void;
/** Any other name is accepted; its listener is never called. */
export function on<N extends string>(
  eventName: N & (N extends PwEventName ? never : string),
  callback: (payload: unknown) => void,
): void;
export function off(eventName: PwEventName): void;
export function off(eventName: string): void;

// --- The asynchronous API -----------------------------------------------------

/**
 * Every property of an object, as texts: its info properties (what pw-dump
 * shows), kept current; the registry's until the info arrives.
 */
export interface Props {
  [key: string]: string;
}

export type NodeState = 'creating' | 'suspended' | 'idle' | 'running' | 'error';
export type GraphLinkState = 'error' | 'unlinked' | 'init' | 'negotiating' | 'allocating' | 'paused' | 'active';

/** A negotiated format; a field is null where the format does not give it. */
export interface MediaFormat {
  mediaType: string | null;
  mediaSubtype: string | null;
  /** "F32LE", "S16LE", "F32P" (DSP), a video format... */
  sampleFormat: string | null;
  rate: number | null;
  channels: number | null;
  /** Channel positions ("FL", "FR", ...). */
  positions: string[] | null;
}

/** A node, as `graph.nodes()` lists it and "node-created" / "node-changed" carry it. */
export interface GraphNode extends PwNode {
  props: Props;
  /** null until the node's info arrives. */
  state: NodeState | null;
  /** The daemon's text while the state is "error", else null. */
  error: string | null;
  /**
   * For a node whose "Props" param carries channel volumes: its volume as `wpctl get-volume` shows it (the cube
   * root of the first channel's linear volume, to six places; 1.0 = 100%).
   */
  volume?: number;
  /** Linear, one per channel in the node's channel order. */
  channelVolumes?: number[];
  /** For a node whose "Props" param carries a mute. */
  mute?: boolean;
}

/** What a port carries, as JACK applications and patchbays tell ports apart. */
export type PortDataType = 'audio' | 'midi' | 'video' | 'control';

/** A port, as `graph.ports()` lists it and "port-created" / "port-changed" carry it. */
export interface GraphPort extends PwPort {
  /**
   * What it carries: from "port.control", else its "format.dsp" ("32 bit float mono audio", "8 bit raw midi", "32 bit
   * raw UMP", "32 bit float RGBA video"), else its format's media type; null when the port says nothing of it.
   */
  type: PortDataType | null;
  props: Props;
  /** Its format, where one is set. */
  format: MediaFormat | null;
}

/** A link, as `graph.links()` lists it. */
export interface GraphLink extends Omit<PwLink, 'format'> {
  props: Props;
  state: GraphLinkState | null;
  error: string | null;
  /** The negotiated format; null before negotiation. */
  format: MediaFormat | null;
}

/** A link as "link-created" / "link-changed" carry it and `graph.link()` resolves with it. */
export interface CreatedLink extends LinkCreatedEvent {
  props: Props;
  state: GraphLinkState | null;
  error: string | null;
  format: MediaFormat | null;
}

/** What a changed event says changed. */
export interface Changed {
  props?: true;
  state?: true;
  error?: true;
  format?: true;
  /** A node's volume changed (whoever changed it). */
  volume?: true;
  mute?: true;
}

/**
 * Which nodes are meant: an exact "node.name", a RegExp tested on it, an
 * object of property patterns (every one must match: a string exactly, a
 * RegExp by test), or a function. '@default-audio-sink', '@default-audio-source'
 * and '@default-video-source' name the node that is that default now, wherever a matcher is taken.
 */
export type NodeMatcher = string | RegExp | { [property: string]: string | RegExp } | ((node: GraphNode) => boolean);

/** What an AbortController's signal offers: any AbortSignal fits, and so does any object with these members. */
export interface AbortSignalLike {
  readonly aborted: boolean;
  readonly reason?: unknown;
  addEventListener(type: 'abort', listener: () => void, options?: { once?: boolean }): void;
  removeEventListener(type: 'abort', listener: () => void): void;
}

/** The Graph's events and their listener arguments. */
export interface GraphEventMap {
  'node-created': [node: GraphNode];
  'node-destroyed': [id: number];
  'port-created': [port: GraphPort];
  'port-destroyed': [id: number];
  'link-created': [link: CreatedLink];
  'link-destroyed': [id: number];
  'node-changed': [node: GraphNode, changed: Changed];
  'port-changed': [port: GraphPort, changed: Changed];
  'link-changed': [link: CreatedLink, changed: Changed];
  connected: [];
  disconnected: [info: { message: string }];
  'metadata-changed': [change: MetadataChange];
  'defaults-changed': [defaults: Defaults];
}

/** An entry of a metadata object set (or deleted: `type` and `value` null) by anyone. */
export interface MetadataChange {
  /** The metadata's "metadata.name" ("default", "settings", ...). */
  name: string;
  /** The object the entry is about (0: none in particular). */
  subject: number;
  key: string;
  type: string | null;
  value: string | null;
}

/** A metadata object as the Graph keeps it, read live. */
export interface MetadataView {
  readonly name: string;
  /** The "client.id" of the client that made it (the session manager for "default"), when the daemon said. */
  readonly owner: number | undefined;
  get(subject: number, key: string): { type: string; value: string } | undefined;
  entries(subject: number): { key: string; type: string; value: string }[];
  /** Entries other clients set that the package's bounds left out (its own keys always fit). */
  readonly dropped: number;
}

/** Default device node names, from the "default" metadata; null where none is set (or no session manager runs). */
export interface DefaultDevices {
  audioSink: string | null;
  audioSource: string | null;
  videoSource: string | null;
}

/** The current defaults (chosen by the session manager) and the ones configured by the user. */
export interface Defaults extends DefaultDevices {
  configured: DefaultDevices;
}

/** A node for the control calls: its id, the node as the Graph gives it, or a matcher that names exactly one. */
export type NodeRef = number | GraphNode | NodeMatcher;

/** An EventEmitter whose event names and arguments are known. */
export interface TypedEmitter<Events extends { [K in keyof Events]: unknown[] }> {
  on<E extends keyof Events>(event: E, listener: (...args: Events[E]) => void): this;
  addListener<E extends keyof Events>(event: E, listener: (...args: Events[E]) => void): this;
  prependListener<E extends keyof Events>(event: E, listener: (...args: Events[E]) => void): this;
  once<E extends keyof Events>(event: E, listener: (...args: Events[E]) => void): this;
  off<E extends keyof Events>(event: E, listener: (...args: Events[E]) => void): this;
  removeListener<E extends keyof Events>(event: E, listener: (...args: Events[E]) => void): this;
  removeAllListeners(event?: keyof Events): this;
  listenerCount(event: keyof Events): number;
}

export interface ConnectOptions {
  /** How long to wait for the daemon's answer (default 3000 ms; Infinity: no limit; above 2^31 - 1 ms waits as long as said). */
  timeoutMs?: number;
  /**
   * After "disconnected", this handle stays and the connection is made again with back-off until it works or
   * `close()` (default false: the handle closes). The connection is re-made while any handle asks for it.
   */
  reconnect?: boolean;
}

export interface WaitOptions {
  /** Default 5000 ms; Infinity waits until aborted or closed. */
  timeoutMs?: number;
  signal?: AbortSignalLike;
}

export interface LinkRuleOptions {
  from: NodeMatcher;
  to: NodeMatcher;
  /** 'auto' (default): by "audio.channel", MONO to every channel, else by port order. */
  channels?: 'auto' | 'positional';
  /** Remove links from the source's ports to anywhere else as they appear (default false). */
  exclusive?: boolean;
  /** Port pairs [output, input] by port name or "audio.channel", in place of `channels`. */
  ports?: [string, string][];
}

/**
 * A rule that keeps links between matching nodes; see `graph.linkRule()`. Its failures go to its 'error' listeners;
 * without one, to `process.emitWarning` (once per failure).
 */
export interface LinkRule
  extends TypedEmitter<{ linked: [link: CreatedLink]; unlinked: [link: CreatedLink]; error: [error: Error] }> {
  /** The links this rule made and holds now. */
  readonly links: CreatedLink[];
  /**
   * Stops the rule and removes the links it made (a link another rule of the process wants stays, held by that
   * rule). An exclusive rule then gives back what it took: one entry per source and former peer.
   */
  close(): Promise<HandBack[]>;
}

/** @deprecated The name of `LinkRuleOptions` before 0.2. */
export type RouteOptions = LinkRuleOptions;
/** @deprecated The name of `LinkRule` before 0.2. */
export type Route = LinkRule;

/**
 * Which way a node's or a port's data goes: 'out' (a source, a playing stream; output ports) or 'in' (a sink, a
 * recording stream; input ports). Not the nineteen's isInput / isOutput, which tell the capture side ('Input': a
 * source or a recording stream) from the playback side ('Output': a sink or a playing stream).
 */
export type Direction = 'in' | 'out';

/** A node matcher as a rules file writes it: a node name ("/regexp/flags" allowed), a default name, or property patterns. */
export type RuleMatcher = string | RegExp | { [property: string]: string | RegExp };

/** The rules of a patchbay (a rules file, version 1). */
/** A side of a route naming its nodes in several ways, the preferred first: the first that takes some node decides. */
export type RuleSide = RuleMatcher | { first: RuleMatcher[] };

export interface PatchbayRules {
  version?: 1;
  routes?: { from: RuleSide; to: RuleSide; channels?: 'auto' | 'positional'; exclusive?: boolean; ports?: [string, string][] }[];
  never?: { from: RuleMatcher; to: RuleMatcher }[];
  volumes?: { node: RuleMatcher; volume?: number; mute?: boolean }[];
  defaults?: { audioSink?: string[]; audioSource?: string[]; videoSource?: string[] };
  devices?: { name: string; mediaClass?: 'Audio/Sink' | 'Audio/Source/Virtual' | 'Audio/Duplex'; channels?: string[]; description?: string }[];
}

/** What a patchbay did; `rule` names the rule as the file does ('routes[0]', 'defaults.audioSink'). */
export type PatchbayAction =
  | { kind: 'linked' | 'unlinked' | 'removed'; rule: string; link: CreatedLink; out: string; in: string }
  | { kind: 'volume'; rule: string; node: string; id: number; volume?: number; mute?: boolean }
  | { kind: 'default'; rule: string; defaultKind: 'audioSink' | 'audioSource' | 'videoSource'; node: string }
  | { kind: 'created' | 'destroyed'; rule: string; node: string; id: number }
  | { kind: 'gave-back'; rule: string; from: string; to: string; by: 'session-manager' | 'link' }
  | PatchbayProfileAction;
/** What `quorvane patchbay --dry-run` lists beside the actions: a route's connection that takes no node or port now. */
export type PatchbayUnmatched = { kind: 'unmatched'; rule: string; out: string; in: string; reason: string };

/** Rules kept applied; see `graph.patchbay()`. */
export interface Patchbay
  extends TypedEmitter<{ action: [action: PatchbayAction]; error: [error: Error & { rule: string }]; closed: [] }> {
  /** The rules in force, as a rules file writes them. */
  readonly rules: PatchbayRules;
  /** Each rule in force, with a route's links now. */
  list(): { rule: string; kind: 'route' | 'never' | 'volume' | 'default' | 'device'; links?: CreatedLink[] }[];
  /** Applies the difference to `rules` (checked whole first: rejects with a RulesError, changing nothing). */
  update(rules: PatchbayRules): Promise<{ added: number; removed: number; kept: number }>;
  /** Stops every rule: removes what they made (lingering links stay), gives back what exclusive routes took. */
  close(): Promise<void>;
}

/** What an exclusive route gave back as it closed: through the session manager, or as lingering links. */
export interface HandBack {
  from: number;
  to: number;
  by: 'session-manager' | 'link';
  error?: Error;
}

/** An Error from the daemon's refusal: its own text, with errno and code ("EEXIST"). */
export interface DaemonError extends Error {
  errno: number;
  code: string;
}

/** Options of `graph.createNode()`: a virtual device (a null-audio-sink node). */
export interface CreateNodeOptions {
  /** "node.name"; a name some node has already is refused unless `props["node.name"]` repeats it. */
  name: string;
  /** 'Audio/Sink' (default, a virtual speaker), 'Audio/Source/Virtual' (a virtual microphone) or 'Audio/Duplex'. */
  mediaClass?: 'Audio/Sink' | 'Audio/Source/Virtual' | 'Audio/Duplex';
  /** Channel positions, one input and one output port each; default ['FL', 'FR']. */
  channels?: string[];
  /** "node.description"; default: the name. */
  description?: string;
  /** More node properties (at most 256); the ones createNode sets itself are refused. */
  props?: Record<string, string | number | boolean>;
  /** Outlive the script (true) or go with the Graph, the connection and the process (false, default). */
  linger?: boolean;
  /** Bound on the whole creation; default 5000. A node the daemon makes after the time-out is removed. */
  timeoutMs?: number;
}

/** One reading of a meter: dBFS per channel (-Infinity for silence), `t` in ms since the epoch. */
export interface MeterLevel {
  t: number;
  peak: number[];
  rms: number[];
}

/** Options of `graph.meter()`. */
export interface MeterOptions {
  /** Levels a second, 1 to 60; default 20. */
  rateHz?: number;
  /** The channels measured ("audio.channel" names), in this order; default: every audio output port. */
  channels?: string[];
}

/** What a meter does: 'idle', the measured node runs no periods; 'stalled', it runs but none reach the meter. */
export type MeterState = 'starting' | 'measuring' | 'idle' | 'stalled' | 'ended';

/**
 * Peak and RMS levels of a node's output or monitor ports (or of one port), measured by a capture stream the add-on
 * owns and hides. Emits 'level' (the latest only: never a backlog), 'state' as what it does changes (a meter that
 * measures nothing for a second says why) and 'end' once, with the reason; iterates levels.
 */
export interface Meter extends AsyncIterable<MeterLevel> {
  readonly id: number;
  /** The measured node's id (after a reconnect: its id now). */
  readonly node: number;
  /** The channel of each entry of `peak` and `rms`. */
  readonly channels: string[];
  readonly ended: boolean;
  readonly state: MeterState;
  /** Why it does not measure, while it does not (null while it measures or starts). */
  readonly reason: string | null;
  on(event: 'level', listener: (level: MeterLevel) => void): this;
  on(event: 'state', listener: (state: { state: MeterState; reason: string | null }) => void): this;
  on(event: 'end', listener: (reason: string) => void): this;
  once(event: 'level', listener: (level: MeterLevel) => void): this;
  once(event: 'state', listener: (state: { state: MeterState; reason: string | null }) => void): this;
  once(event: 'end', listener: (reason: string) => void): this;
  off(event: 'level' | 'state' | 'end', listener: (...args: any[]) => void): this;
  /** Ends the meter: resolves once its stream and links are gone. */
  close(): Promise<void>;
}

/** One node's cycle in a profile, as pw-top shows it: times in µs, their shares of the driver's period. */
export interface ProfileRow {
  id: number;
  name: string;
  /** A driver's clock (quantum / rate seconds a period); a follower's own latency where it asks for one. */
  quantum: number;
  rate: number;
  waitUs: number | null;
  busyUs: number | null;
  waitRatio: number | null;
  busyRatio: number | null;
  /** The node's latency as "num/denom", or null. */
  latency: string | null;
}

/** One driver's cycle: its row, its DSP load, its xruns and the nodes it drives (`errors`: their xruns since the profiler opened, pw-top's ERR; `xruns`: the daemon's count of a node's xruns, PipeWire 1.x, null on 0.3). */
export interface ProfileDriver extends ProfileRow {
  load: { fast: number; medium: number; slow: number };
  xruns: number;
  followers: Array<ProfileRow & { errors: number; xruns: number | null }>;
}

/**
 * The daemon's profiler: 'profile' for each profile it sends, 'xrun' when a driver's xrun count or a follower's errors
 * grow (`role` says which, `count` is that count), 'end' once.
 */
export interface Profiler {
  readonly latest: { t: number; drivers: ProfileDriver[] } | null;
  on(event: 'profile', listener: (profile: { t: number; drivers: ProfileDriver[] }) => void): this;
  on(event: 'xrun', listener: (xrun: { node: number; role: 'driver' | 'follower'; count: number; t: number }) => void): this;
  on(event: 'end', listener: () => void): this;
  off(event: 'profile' | 'xrun' | 'end', listener: (...args: any[]) => void): this;
  close(): Promise<void>;
}

/**
 * One caller's handle on the graph. Its listeners hear each event whatever the others do: one that throws does so
 * again on its own (reaching 'uncaughtException', as an EventEmitter listener's throw does), and neither a throw nor
 * removeAllListeners() reaches the handle's routes, waits and requests, which listen on their own.
 */
export interface Graph extends TypedEmitter<GraphEventMap> {
  /** 'connecting' | 'connected' | 'disconnected' (reconnecting) | 'closed'. */
  readonly state: 'connecting' | 'connected' | 'disconnected' | 'closed';
  nodes(): GraphNode[];
  ports(): GraphPort[];
  links(): GraphLink[];
  /** The nodes `matcher` fits; a name fits a node's "node.name" and the names JACK applications show (its description, its nick). */
  find(matcher: NodeMatcher): GraphNode[];
  /**
   * At once when a matching node is present, else when one is announced (a name as `find` takes it). `direction`:
   * the way its data goes, from its media class, else (a JACK client's node) from the ports it has or gets; 'Input' /
   * 'Output' (deprecated) select by isInput / isOutput as waitForNewNode does.
   */
  waitForNode(matcher: NodeMatcher, options?: WaitOptions & { direction?: Direction | 'Input' | 'Output' }): Promise<GraphNode>;
  /** When the node has at least `count` ports (default: at least one, after a round trip). */
  waitForPorts(
    nodeId: number,
    options?: WaitOptions & { direction?: Direction | 'Input' | 'Output'; count?: number },
  ): Promise<GraphPort[]>;
  /**
   * Resolves once the registry announces the link (until: 'announced', the
   * default), or once it is "paused" or "active" (until: 'ready'; rejects with
   * the daemon's text when it enters "error"); rejects with a DaemonError when refused. A link made after the
   * promise rejected (a time-out) is removed.
   */
  link(
    outputPortId: number,
    inputPortId: number,
    options?: { timeoutMs?: number; until?: 'announced' | 'ready'; linger?: boolean },
  ): Promise<CreatedLink>;
  /**
   * Links the source's outputs to the sink's inputs, each to one of its type (GraphPort's `type`, else the node's
   * media class): audio by "audio.channel", then by position among the audio ports (one mono port to every channel of
   * the other side); MIDI, video and control by position. Resolves with the links between them, those made and those
   * there already; a port with no partner of its type is left alone. A name is a "node.name", else a JACK name
   * (description, nick), else JACK's "NAME-ID"; one several nodes have is refused, naming them. Rejects with an Error
   * (code 'EINVAL') when no port pairs up, with an AggregateError of the daemon's refusals (`links`: those made).
   */
  linkNodes(source: NodeRef, sink: NodeRef, options?: { timeoutMs?: number; linger?: boolean }): Promise<CreatedLink[]>;
  /** Removes every link from the source's outputs to the sink's inputs; rejects (code 'ENOENT') when none links them. */
  unlinkNodes(source: NodeRef, sink: NodeRef, options?: { timeoutMs?: number }): Promise<{ unlinked: number[] }>;
  /**
   * Resolves when the link is gone, at once when it is gone already. A link object pins the link by its
   * "object.serial", so a removal never reaches a newer object under a reused id. Rejects for an id that names a node
   * or a port, and with the daemon's refusal when the link stays.
   */
  unlink(link: number | GraphLink | CreatedLink, options?: { timeoutMs?: number }): Promise<void>;
  /** Keeps links between the nodes matching `from` and those matching `to` as they come and go. */
  linkRule(options: LinkRuleOptions): LinkRule;
  /** @deprecated The name of `linkRule()` before 0.2 ("route" is a device's Route in PipeWire). */
  route(options: LinkRuleOptions): LinkRule;
  /** Keeps the rules applied until `close()`; throws a RulesError (a TypeError) for bad rules, applying nothing. */
  patchbay(rules: PatchbayRules): Patchbay;
  /** The links now as rules (one route per pair of nodes, with port pairs); the session manager's links left out unless `all`. */
  snapshot(options?: { all?: boolean }): PatchbayRules;
  /**
   * Makes a virtual device; resolves with the node once it and all its ports are announced, with its volume and mute
   * (none where the daemon reports no Props: PipeWire 1.4 at 52 channels or more). The time-out names the node.
   */
  createNode(options: CreateNodeOptions): Promise<GraphNode>;
  /**
   * Meters a node (id, object or matcher: its audio output ports, a sink's monitor ports) or a port (object, or an id
   * no node has). TypeError/RangeError for bad options; Error for a target without audio output ports; an Error with
   * `code` 'ERR_TOO_MANY_METERS' (and `limit`) past 256 meters open in this Graph or 512 in the process, with `code`
   * 'EMFILE' when too few file descriptors are left for its stream (one refused so when its stream comes to open
   * ends with a reason beginning "EMFILE:").
   */
  meter(node: NodeRef | GraphPort, options?: MeterOptions): Meter;
  /** The daemon's profiler; an Error where the daemon has no profiler module. */
  profiler(): Profiler;
  /** Removes a node this package made (by node, id or name); any other node is refused with an Error. */
  destroyNode(node: GraphNode | number | string, options?: { timeoutMs?: number }): Promise<void>;
  /**
   * Sets the node's channel volumes (its "Props" param): one number for every channel, or one per channel; on the
   * cubic scale `wpctl` uses (default) or linear. Resolves with the node once the daemon reports the new value.
   * RangeError for negative, non-finite or too large values and for a wrong count; Error for a node without volume.
   */
  setVolume(
    node: NodeRef,
    volume: number | number[],
    options?: { scale?: 'cubic' | 'linear'; timeoutMs?: number },
  ): Promise<GraphNode>;
  /** Sets the node's mute (its "Props" param); resolves with the node once the daemon reports it. */
  setMute(node: NodeRef, mute: boolean, options?: { timeoutMs?: number }): Promise<GraphNode>;
  /** The default devices, kept current ("defaults-changed"). */
  readonly defaults: Defaults;
  /** The metadata object named `name` (default "default") as a live read-only view; null when there is none. */
  metadata(name?: string): MetadataView | null;
  /**
   * Writes "default.configured.<kind>" in the "default" metadata as the session manager expects it; resolves with
   * the defaults once the metadata reports it. Rejects when no "default" metadata exists (no session manager).
   */
  setDefault(kind: 'audioSink' | 'audioSource' | 'videoSource', node: NodeRef, options?: { timeoutMs?: number }): Promise<Defaults>;
  /**
   * Asks the session manager to move a stream to `target` (null: back to its own choice), through the stream's
   * "target.object" and "target.node" in the "default" metadata; resolves once the metadata reports them.
   */
  move(stream: NodeRef, target: NodeRef | null, options?: { timeoutMs?: number }): Promise<{ stream: number; target: number | null }>;
  /**
   * Ends this handle: its waits reject "Graph closed", its link rules, meters and patchbays close, the links and
   * (unlingering) nodes it made go. The connection closes with the last handle (unless createPwThread holds it);
   * afterwards the script exits by itself. Rejects, after doing all it can, with an AggregateError of what it could
   * not remove (each error's `object` says which). Idempotent.
   */
  close(): Promise<void>;
  /**
   * Keeps this host's graph on an MQTT broker and takes commands from it (docs/mqtt.md); resolves once connected.
   * TypeError/RangeError for bad options; rejects when the broker refuses the credentials or stays out of reach.
   */
  mqtt(options: MqttOptions): Promise<MqttBridge>;
}

/** The options of `graph.mqtt()`. */
export interface MqttOptions {
  /** mqtt://HOST:PORT, mqtts://, ws:// or wss://; no password in it. */
  broker: string;
  /** This host's topic level (default: the machine's host name). */
  hostName?: string;
  /** Default "quorvane". */
  topicPrefix?: string;
  /** A rule set kept applied (as `graph.patchbay()`), replaced by commands on rules/set. */
  rules?: PatchbayRules;
  username?: string;
  password?: string;
  /** The PEM text of the broker's certificate authority. */
  ca?: string | Uint8Array;
  /** Home Assistant discovery (default false), under `discoveryPrefix` (default "homeassistant"). */
  homeassistant?: boolean;
  discoveryPrefix?: string;
  /** Messages a second per topic at most (default 5). */
  maxRate?: number;
  /** 4 (MQTT 3.1.1) or 5 (default). */
  protocolVersion?: 4 | 5;
  /** Default 30000; 0: wait for the broker for ever. */
  connectTimeoutMs?: number;
  /** How long a node is gone before its discovery configs go (default 10000). */
  forgetAfterMs?: number;
  /** Commands taken a second (default 20, bursts of twice that). */
  commandRate?: number;
  clientId?: string;
  /** Streams between hosts (docs/fleet.md). */
  streams?: StreamOptions;
}

/** The `streams` option of `graph.mqtt()` (docs/fleet.md). */
export interface StreamOptions {
  /** Where this host receives (default: the address it reaches the broker from; never every address). */
  address?: string;
  /** The UDP ports a receiver picks from, [first, last] (default [47000, 47999]). */
  ports?: [number, number];
  /** Node matchers this host may send besides playing streams and sinks. */
  send?: NodeMatcher[];
  /** Node matchers that may receive besides sinks. */
  receive?: NodeMatcher[];
  /** The latency target of the streams this host sends (default: the module's, 200 ms ROC, 100 ms RTP). */
  latencyMs?: number;
}

/** A stream's record as each end publishes it under PREFIX/HOST/stream/ID. */
export interface StreamRecord {
  role: 'send' | 'receive';
  run: string;
  from: string;
  to: string;
  enabled: boolean;
  latencyMs?: number;
  codec: 'roc' | 'rtp' | null;
  codecs: Array<'roc' | 'rtp'>;
  address: string | null;
  ports: number[] | null;
  state: 'connecting' | 'streaming' | 'listening' | 'waiting' | 'off' | 'refused' | 'error';
  error: string | null;
  health: { packetsLost: number | null; underruns: number | null } | null;
  pipewire: string | null;
}

/** A running bridge: "connected" (again), "offline" (the broker went away), "warning" (Error), "closed". */
export interface MqttBridge extends TypedEmitter<{ connected: []; offline: []; warning: [Error]; closed: [] }> {
  /** PREFIX/HOST. */
  readonly hostTopic: string;
  /** The rule set in force, as a rules file writes it, or null. */
  readonly rules: PatchbayRules | null;
  /**
   * Counts since the start: messages published, commands done and refused, refusals left unanswered, retained commands
   * ignored, other clients' retained messages cleared, and the retained topics the bridge holds.
   */
  stats(): { published: number; commands: number; refused: number; unanswered: number; ignored: number; cleared: number; topics: number };
  /** Publishes "offline", stops the rules and leaves the broker; the retained state stays. */
  close(): Promise<void>;
}

/** A Graph handle of its own on the process's one connection; resolves once the whole graph is mirrored. */
export function connect(options?: ConnectOptions): Promise<Graph>;

/** One band of an equaliser: a built-in biquad of PipeWire's filter-chain. */
export interface FilterBand {
  type: 'peaking' | 'lowshelf' | 'highshelf' | 'lowpass' | 'highpass' | 'notch';
  /** Hz, above 0 and below half the graph's rate. */
  freq: number;
  /** Above 0, at most 100 (default 0.7071). */
  q?: number;
  /** dB within ±48 (default 0); peaking and shelves only. */
  gain?: number;
}

/** Options of `graph.createFilter()`. */
export interface CreateFilterOptions {
  name: string;
  description?: string;
  /** Default 'Audio/Sink': a sink whose output plays into `target`; 'Audio/Source' filters what it captures from `target`. */
  mediaClass?: 'Audio/Sink' | 'Audio/Source' | 'Stream';
  /** 1 to 32 (default 2). */
  channels?: number;
  /** At most 64 bands. */
  filters?: FilterBand[];
  /** dB within ±48 (default 0). */
  preamp?: number;
  /** The node the filter's output plays into (a source's input comes from), linked by the add-on. */
  target?: NodeRef;
  /** Only false: a filter is processed in this process and goes with it. */
  linger?: false;
  timeoutMs?: number;
}

/** The two nodes of an equaliser or loopback. */
export interface EffectNodes {
  capture: { id: number; name: string };
  playback: { id: number; name: string };
}

/** An equaliser loaded by `graph.createFilter()`. */
export interface Filter {
  readonly name: string;
  /** The id of the node named `name` (the sink, the source, or the stream's input). */
  readonly id: number;
  readonly nodes: EffectNodes;
  readonly filters: FilterBand[];
  readonly preamp: number;
  readonly closed: boolean;
  /**
   * Live, on the same nodes; the preamp and the volume (wpctl's scale, of the node named `name`) ramp, 20 dB a
   * second. Another number of bands or another type is a RangeError.
   */
  set(options: { filters?: FilterBand[]; preamp?: number; volume?: number }): Promise<void>;
  close(): Promise<void>;
}

/** Options of `graph.createLoopback()`. */
export interface CreateLoopbackOptions {
  from: NodeRef;
  to: NodeRef;
  /** 1 to 2000 ms: the quantum asked for. */
  latencyMs?: number;
  name?: string;
  channels?: number;
  timeoutMs?: number;
}

/** A loopback made by `graph.createLoopback()`. */
export interface Loopback {
  readonly name: string;
  readonly nodes: EffectNodes;
  readonly closed: boolean;
  close(): Promise<void>;
}

export interface Graph {
  /** An equaliser: PipeWire's filter-chain module loaded into this process. */
  createFilter(options: CreateFilterOptions): Promise<Filter>;
  /** A loopback from `from` to `to`: PipeWire's loopback module, linked by the add-on. */
  createLoopback(options: CreateLoopbackOptions): Promise<Loopback>;
}

/** One profile of a device (its "EnumProfile"/"Profile" param). */
export interface DeviceProfile {
  index: number;
  name: string;
  description: string;
  available: 'yes' | 'no' | 'unknown';
  priority: number;
  /** The node classes it gives: [{ mediaClass: 'Audio/Sink', count: 1 }]. */
  classes: { mediaClass: string; count: number }[];
}

/** One output or input route (port) of a device (its "EnumRoute" param). */
export interface DeviceRoute {
  index: number;
  name: string;
  description: string;
  direction: 'output' | 'input';
  available: 'yes' | 'no' | 'unknown';
  priority: number;
  /** The card-profile devices it serves. */
  devices: number[];
  /** The profiles it is one of. */
  profiles: number[];
}

/** An active route (its "Route" param): on one card-profile device. */
export interface ActiveDeviceRoute extends Omit<DeviceRoute, 'devices'> {
  device: number;
}

/** A PipeWire Device (a sound card, a Bluetooth headset), as `graph.devices()` lists it. */
export interface PwDevice {
  id: number;
  serial: number | undefined;
  /** "device.name" (pactl's card name). */
  name: string | null;
  description: string | null;
  /** "device.api": "alsa", "bluez5", ... */
  api: string | null;
  props: Record<string, string>;
  /** The ids of the nodes whose "device.id" is this device. */
  nodes: number[];
  profiles: DeviceProfile[];
  /** The active profile, or null. */
  profile: DeviceProfile | null;
  routes: DeviceRoute[];
  activeRoutes: { output: ActiveDeviceRoute | null; input: ActiveDeviceRoute | null };
}

/** A device: its id, its name or description, or a device object (pinned by its serial). */
export type DeviceRef = number | string | PwDevice;

export interface GraphEventMap {
  /** A device and its first params. */
  'device-created': [device: PwDevice];
  'device-changed': [device: PwDevice];
  'device-destroyed': [id: number];
}

export interface Graph {
  /** The daemon's devices, with their profiles and routes, live. */
  devices(): PwDevice[];
  /**
   * Selects the device's profile (by name or index), saved as the user's choice; resolves with the device once its
   * "Profile" param shows it. An unknown device or profile, or an unavailable profile, is refused (Error) and nothing
   * is sent; the daemon's refusal rejects with its code.
   */
  setProfile(device: DeviceRef, nameOrIndex: string | number, options?: { timeoutMs?: number }): Promise<PwDevice>;
  /**
   * Selects one of the device's routes ("ports": speakers, headphones) by name or index, on the card-profile device
   * it serves, saved; `direction` picks between an output and an input of one name. Resolves once the "Route" param
   * shows it; refused as setProfile, and for a route that is not one of the active profile's.
   */
  setRoute(
    device: DeviceRef,
    nameOrIndex: string | number,
    options?: { direction?: Direction | 'output' | 'input'; timeoutMs?: number },
  ): Promise<PwDevice>;
}

/** A patchbay's "profiles" rule: a device (its "device.name" or property patterns) set to a profile as it appears. */
export interface PatchbayProfileRule {
  device: string | Record<string, string>;
  profile: string | number;
}

export interface PatchbayRules {
  profiles?: PatchbayProfileRule[];
  /** Equalisers of the patchbay's own (graph.createFilter's options; `target` a node name), made once their target is there. */
  filters?: { name: string; description?: string; mediaClass?: 'Audio/Sink' | 'Audio/Source' | 'Stream'; channels?: number; filters?: FilterBand[]; preamp?: number; target?: string }[];
  /** Loopbacks of the patchbay's own from node `from` to node `to` (names), made while both are there. */
  loopbacks?: { from: string; to: string; latencyMs?: number; name?: string; channels?: number }[];
}

/** The patchbay's action of a "profiles" rule. */
export type PatchbayProfileAction = { kind: 'profile'; rule: string; device: string; id: number; profile: string };
/** A port's latency in one direction, from its "Latency" param; the latency is the sum of the three. */
export interface LatencyRange {
  readonly minQuantum: number;
  readonly maxQuantum: number;
  readonly minRate: number;
  readonly maxRate: number;
  readonly minNs: number;
  readonly maxNs: number;
}

/** A port's latency: input (up to the port) and output (from the port on), each null where the port gave none. */
export interface PortLatency {
  input: LatencyRange | null;
  output: LatencyRange | null;
}

/** A node's ports' latency. */
export interface NodeLatency {
  id: number;
  name: string;
  ports: Array<PortLatency & { id: number; name: string; direction: 'in' | 'out' }>;
}

export interface GraphLink {
  /** The input latency of the link's output port (what the sound gathered up to the link); null where unknown. */
  latency: LatencyRange | null;
}

export interface Graph {
  /** A port's latency (a port object, or an id no node has), or each port's of a node (id, object or matcher). */
  latency(port: GraphPort): PortLatency;
  latency(portOrNode: NodeRef | GraphPort): PortLatency | NodeLatency;
}
