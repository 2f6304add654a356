// Type declarations for quorvane: a live view of, and control over, the
// PipeWire media graph.

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
