'use strict';
// Regular expressions matched in time linear in the text: the patterns that
// come from outside (a rules file, the broker, the command line) are
// LinearRegExps, never V8's backtracking engine, so that no pattern, however
// hostile, can hold the event loop ("/^(a+)+b$/" against a node name of 60
// "a"s costs what any other pattern of its size does).
//
// A LinearRegExp is a RegExp (instanceof, source, flags, String(), test,
// exec, match, replace, split: the same results) whose exec runs a Pike
// machine: the pattern's alternatives are followed side by side, one step a
// character, each program position at most once a step. A character of text
// costs at most `cost` steps: the program's size, times 2 for each level of
// repetitions of what may match nothing nested in one another, times
// (1 + capture groups / 4) for the captures each thread carries; a pattern
// costs at most MAX_COST (about 25 ms for a text of 60 characters on a
// 2-core machine). JavaScript's own syntax and meaning, checked by V8 as the
// RegExp is made; one character's test is V8's own, on that one character.
// Refused, with a SyntaxError that says so: backreferences (\1, \k<name>),
// lookahead and lookbehind, modifiers ((?i:...)), the flags d and v, legacy
// octal escapes, more than MAX_PROGRAM steps (counted repetitions unrolled),
// MAX_GROUPS capture groups, MAX_NESTING groups in one another or
// MAX_EMPTY_LOOPS nested repetitions of what may match nothing
// ("(((a*)*)*)*"), or a cost past MAX_COST.

const MAX_PROGRAM = 2048; // instructions, counted repetitions unrolled
const MAX_EMPTY_LOOPS = 2; // quantified groups that may match nothing, nested
const MAX_GROUPS = 16; // capture groups (each thread copies its captures as it saves one)
const MAX_NESTING = 64; // groups in one another (the tree is read and compiled recursively)
const MAX_COST = 16384; // steps a character of text may cost
const MEMO_CHARS = 4096; // characters whose test each atom remembers
const QUANTIFIER = /\{(\d+)(?:(,)(\d*))?\}/y;
const FLAGS = /^[gimsuy]*$/;

// Instructions.
const CHAR = 0; // a1: the atom's test; then pc + 1
const SPLIT = 1; // a1 first, a2 second
const JMP = 2; // a1
const SAVE = 3; // a1: capture slot
const ASSERT = 4; // a1: one of the kinds below
const RESET = 5; // a1..a2: the capture slots an iteration starts without
const MARK = 6; // a1: the bit of an iteration that has matched nothing yet
const CHECK = 7; // a1: that bit; fails the thread when still set
const MATCH = 8;

const START = 0; // ^
const END = 1; // $
const BOUNDARY = 2; // \b
const NOT_BOUNDARY = 3; // \B

const shown = (source) => (source.length > 80 ? `${source.slice(0, 77)}...` : source);
const refuse = (source, why) => new SyntaxError(`Invalid regular expression: /${shown(source)}/: ${why} (patterns from outside are matched in linear time)`);
const isLineEnd = (c) => c === 0x0a || c === 0x0d || c === 0x2028 || c === 0x2029;
const isHex = (c) => /^[0-9A-Fa-f]$/.test(c);

// --- parsing -------------------------------------------------------------------
// The pattern's tree: { t: 'atom', src, literal } (one character: a literal,
// `literal` the character it is, an escape, a class or "."), 'seq' (items),
// 'alt' (alts), 'group' (index or null, body), 'repeat' (body, min, max,
// greedy), 'assert' (kind), 'empty'. The syntax is V8's to check (it has
// refused what is not JavaScript before this runs); this reads where each
// part ends.

class Parser {
  constructor(source, unicode) {
    this.s = source;
    this.i = 0;
    this.u = unicode;
    this.groups = 0;
    this.names = [];
    this.depth = 0;
  }

  fail(why) {
    throw refuse(this.s, why);
  }

  parse() {
    const tree = this.alternation();
    if (this.i < this.s.length) this.fail(`unexpected ${this.s[this.i]}`);
    return tree;
  }

  alternation() {
    const alts = [this.sequence()];
    while (this.s[this.i] === '|') {
      this.i++;
      alts.push(this.sequence());
    }
    return alts.length === 1 ? alts[0] : { t: 'alt', alts };
  }

  sequence() {
    const items = [];
    while (this.i < this.s.length && this.s[this.i] !== '|' && this.s[this.i] !== ')') {
      const term = this.term();
      items.push(this.quantified(term));
    }
    return items.length === 0 ? { t: 'empty' } : items.length === 1 ? items[0] : { t: 'seq', items };
  }

  // A quantifier after `term`, if one follows: *, +, ?, {n}, {n,}, {n,m},
  // each maybe followed by "?" (lazy). Without the u flag a "{" that does
  // not open a quantifier is a literal, as V8 reads it.
  quantified(term) {
    const s = this.s;
    let min;
    let max;
    const c = s[this.i];
    if (c === '*') [min, max] = [0, Infinity];
    else if (c === '+') [min, max] = [1, Infinity];
    else if (c === '?') [min, max] = [0, 1];
    else if (c === '{') {
      QUANTIFIER.lastIndex = this.i;
      const m = QUANTIFIER.exec(s);
      if (!m) return term; // a literal "{" (V8 refused it already with the u flag)
      min = Number(m[1]);
      max = m[2] === undefined ? min : m[3] === '' ? Infinity : Number(m[3]);
      this.i += m[0].length - 1;
    } else return term;
    this.i++;
    let greedy = true;
    if (s[this.i] === '?') {
      greedy = false;
      this.i++;
    }
    if (term.t === 'assert') this.fail('a quantified assertion');
    return { t: 'repeat', body: term, min, max, greedy };
  }

  term() {
    const s = this.s;
    const c = s[this.i];
    if (c === '^' || c === '$') {
      this.i++;
      return { t: 'assert', kind: c === '^' ? START : END };
    }
    if (c === '(') return this.group();
    if (c === '[') return this.charClass();
    if (c === '\\') return this.escape();
    if (c === '.') {
      this.i++;
      return { t: 'atom', src: '.' };
    }
    // A literal: with the u flag a surrogate pair is one character.
    const code = s.codePointAt(this.i);
    const width = this.u && code > 0xffff ? 2 : 1;
    const src = s.slice(this.i, this.i + width);
    this.i += width;
    return { t: 'atom', src, literal: src };
  }

  group() {
    const s = this.s;
    if (++this.depth > MAX_NESTING) this.fail(`groups nested more than ${MAX_NESTING} deep`);
    this.i++; // (
    let index = null;
    if (s[this.i] === '?') {
      const rest = s.slice(this.i, this.i + 3);
      if (rest.startsWith('?:')) this.i += 2;
      else if (rest === '?<=' || rest === '?<!' || rest.startsWith('?=') || rest.startsWith('?!')) this.fail('lookahead and lookbehind are not supported');
      else if (rest.startsWith('?<')) {
        const end = s.indexOf('>', this.i);
        const name = s.slice(this.i + 2, end);
        if (this.names.includes(name)) this.fail(`a second group named ${name}`);
        index = ++this.groups;
        this.names[index] = name;
        this.i = end + 1;
      } else this.fail('group modifiers are not supported');
    } else index = ++this.groups;
    if (this.groups > MAX_GROUPS) this.fail(`more than ${MAX_GROUPS} capture groups`);
    const body = this.alternation();
    if (s[this.i] !== ')') this.fail('unterminated group');
    this.i++;
    this.depth--;
    return { t: 'group', index, body };
  }

  // [...]: one character, tested by V8 as written. Without the v flag a
  // class holds no class: it ends at the first "]" not escaped (and not the
  // first character after "[^" ... in V8 "[]" is an empty class).
  charClass() {
    const s = this.s;
    const start = this.i;
    let j = this.i + 1;
    if (s[j] === '^') j++;
    while (j < s.length && s[j] !== ']') j += s[j] === '\\' ? 2 : 1;
    if (j >= s.length) this.fail('unterminated character class');
    this.i = j + 1;
    return { t: 'atom', src: s.slice(start, this.i) };
  }

  escape() {
    const s = this.s;
    const c = s[this.i + 1];
    if (c === undefined) this.fail('\\ at end of pattern');
    const take = (n, extra = {}) => {
      const src = s.slice(this.i, this.i + n);
      this.i += n;
      return { t: 'atom', src, ...extra };
    };
    if (c === 'b' || c === 'B') {
      this.i += 2;
      return { t: 'assert', kind: c === 'b' ? BOUNDARY : NOT_BOUNDARY };
    }
    if (c >= '1' && c <= '9') this.fail('backreferences are not supported');
    if (c === '0') {
      if (/[0-9]/.test(s[this.i + 2] ?? '')) this.fail('octal escapes are not supported');
      return take(2);
    }
    if (c === 'k' && (this.u || /\(\?<[^=!]/.test(s))) this.fail('backreferences are not supported');
    if (c === 'c') {
      if (!/[A-Za-z]/.test(s[this.i + 2] ?? '')) this.fail('\\c without a control letter is not supported');
      return take(3);
    }
    if (c === 'x') return take(isHex(s[this.i + 2] ?? '') && isHex(s[this.i + 3] ?? '') ? 4 : 2);
    if (c === 'u') {
      if (this.u && s[this.i + 2] === '{') return take(s.indexOf('}', this.i) - this.i + 1);
      const four = s.slice(this.i + 2, this.i + 6);
      if (!/^[0-9A-Fa-f]{4}$/.test(four)) return take(2); // without the u flag: the letter u
      const code = parseInt(four, 16);
      // With the u flag an escaped surrogate pair is one character.
      if (this.u && code >= 0xd800 && code <= 0xdbff && /^\\u[dD][c-fC-F][0-9A-Fa-f]{2}$/.test(s.slice(this.i + 6, this.i + 12))) return take(12);
      return take(6);
    }
    if ((c === 'p' || c === 'P') && this.u) return take(s.indexOf('}', this.i) - this.i + 1);
    // \d \D \w \W \s \S \t \n \v \f \r, and escaped punctuation, which is
    // that character (with the u flag a surrogate pair after "\\" is one).
    const width = this.u && s.codePointAt(this.i + 1) > 0xffff ? 3 : 2;
    const char = s.slice(this.i + 1, this.i + width);
    return take(width, /^[A-Za-z0-9]$/.test(char) ? {} : { literal: char });
  }
}

// Whether `node` can match without taking a character.
function nullable(node) {
  switch (node.t) {
    case 'atom':
      return false;
    case 'seq':
      return node.items.every(nullable);
    case 'alt':
      return node.alts.some(nullable);
    case 'group':
      return nullable(node.body);
    case 'repeat':
      return node.min === 0 || nullable(node.body);
    default:
      return true; // empty, assert
  }
}

// The capture groups inside `node`, as [first, last] (first > last: none).
function groupRange(node, range = [Infinity, -Infinity]) {
  if (node.t === 'group' && node.index !== null) {
    range[0] = Math.min(range[0], node.index);
    range[1] = Math.max(range[1], node.index);
  }
  for (const child of node.t === 'seq' ? node.items : node.t === 'alt' ? node.alts : node.body ? [node.body] : []) groupRange(child, range);
  return range;
}

// --- compiling -----------------------------------------------------------------

class Compiler {
  constructor(source, atomTest) {
    this.source = source;
    this.op = [];
    this.a1 = [];
    this.a2 = [];
    this.tests = [];
    this.testOf = new Map(); // atom source → index in tests
    this.atomTest = atomTest;
    this.emptyLoops = 0; // the deepest nesting of repetitions that may match nothing
    this.depth = 0;
  }

  emit(op, a1 = 0, a2 = 0) {
    if (this.op.length >= MAX_PROGRAM) throw refuse(this.source, `the pattern is too large (more than ${MAX_PROGRAM} steps, repetitions counted)`);
    this.op.push(op);
    this.a1.push(a1);
    this.a2.push(a2);
    return this.op.length - 1;
  }

  node(n) {
    switch (n.t) {
      case 'empty':
        return;
      case 'atom': {
        let t = this.testOf.get(n.src);
        if (t === undefined) {
          t = this.tests.push(this.atomTest(n)) - 1;
          this.testOf.set(n.src, t);
        }
        this.emit(CHAR, t);
        return;
      }
      case 'assert':
        this.emit(ASSERT, n.kind);
        return;
      case 'seq':
        for (const item of n.items) this.node(item);
        return;
      case 'alt': {
        // SPLIT L1, next; L1: alt0; JMP end; next: SPLIT L2, ... ; last alt
        const jumps = [];
        n.alts.forEach((alt, k) => {
          if (k < n.alts.length - 1) {
            const split = this.emit(SPLIT);
            this.a1[split] = split + 1;
            this.node(alt);
            jumps.push(this.emit(JMP));
            this.a2[split] = this.op.length;
          } else this.node(alt);
        });
        for (const j of jumps) this.a1[j] = this.op.length;
        return;
      }
      case 'group':
        if (n.index === null) return this.node(n.body);
        this.emit(SAVE, 2 * n.index);
        this.node(n.body);
        this.emit(SAVE, 2 * n.index + 1);
        return;
      case 'repeat':
        return this.repeat(n);
      default:
        throw new Error(`unknown node ${n.t}`);
    }
  }

  // One iteration: the body's captures start empty; with `check`, an
  // iteration that matched nothing fails (JavaScript's rule for an
  // iteration past the minimum, which ends a loop that would not advance).
  iteration(n, check) {
    const [lo, hi] = n.groups;
    if (lo <= hi) this.emit(RESET, 2 * lo, 2 * hi + 1);
    if (check) this.emit(MARK, n.bit);
    this.node(n.body);
    if (check) this.emit(CHECK, n.bit);
  }

  // An optional iteration, greedy or lazy: SPLIT body, skip.
  optional(n, check, then) {
    const split = this.emit(SPLIT);
    const bodyStart = this.op.length;
    this.iteration(n, check);
    then?.(split);
    const after = this.op.length;
    if (n.greedy) [this.a1[split], this.a2[split]] = [bodyStart, after];
    else [this.a1[split], this.a2[split]] = [after, bodyStart];
  }

  // A repetition whose body may match nothing has the bit of its depth
  // among such repetitions: one nested in it another; one after it the same
  // (a thread leaves a repetition with its bit clear).
  repeat(n) {
    n.groups = groupRange(n.body);
    const empty = nullable(n.body) && n.max > n.min;
    if (empty) {
      if (this.depth >= MAX_EMPTY_LOOPS) throw refuse(this.source, `more than ${MAX_EMPTY_LOOPS} nested repetitions of what may match nothing`);
      n.bit = this.depth++;
      this.emptyLoops = Math.max(this.emptyLoops, this.depth);
    }
    this.repeatBody(n, empty);
    if (empty) this.depth--;
  }

  repeatBody(n, empty) {
    for (let k = 0; k < n.min; k++) this.iteration(n, false);
    if (n.max === Infinity) {
      // L: SPLIT body, out; body; JMP L
      const loop = this.op.length;
      this.optional(n, empty, () => this.a1[this.emit(JMP)] = loop);
      return;
    }
    // (body (body (...)?)?)?: each further iteration only after the one before.
    const splits = [];
    for (let k = n.min; k < n.max; k++) {
      const split = this.emit(SPLIT);
      splits.push([split, this.op.length]);
      this.iteration(n, empty);
    }
    const after = this.op.length;
    for (const [split, bodyStart] of splits) {
      if (n.greedy) [this.a1[split], this.a2[split]] = [bodyStart, after];
      else [this.a1[split], this.a2[split]] = [after, bodyStart];
    }
  }
}

// --- the atoms' tests ------------------------------------------------------------

// A test of one character (its code) for an atom: a literal without the i
// flag compared as it is; anything else V8's own test of that one character
// (`^(?:ATOM)$`), which is constant time, remembered per character.
function makeAtomTest(flags) {
  const oneFlags = flags.replace(/[gym]/g, '');
  return (atom) => {
    if (atom.literal !== undefined && !oneFlags.includes('i')) {
      const code = atom.literal.codePointAt(0);
      return Object.assign((c) => c === code, { code }); // compared in place by the machine
    }
    const re = new RegExp(`^(?:${atom.src})$`, oneFlags);
    const ascii = new Uint8Array(128); // 0 not asked yet, 1 no, 2 yes
    const memo = new Map();
    return (c) => {
      if (c < 128) {
        const known = ascii[c];
        if (known !== 0) return known === 2;
        const yes = re.test(String.fromCharCode(c));
        ascii[c] = yes ? 2 : 1;
        return yes;
      }
      let known = memo.get(c);
      if (known === undefined) {
        known = re.test(String.fromCodePoint(c));
        if (memo.size < MEMO_CHARS) memo.set(c, known);
      }
      return known;
    };
  };
}

// --- running ---------------------------------------------------------------------

/** A RegExp of JavaScript's syntax whose matching takes time linear in the text (see the top of this file). */
class LinearRegExp extends RegExp {
  #program;
  #cost;

  constructor(pattern, flags) {
    const source = pattern instanceof RegExp ? pattern.source : pattern === undefined ? '(?:)' : String(pattern);
    flags = flags === undefined ? (pattern instanceof RegExp ? pattern.flags : '') : String(flags);
    super(source, flags); // V8's syntax check, and source, flags, lastIndex as every RegExp has them
    if (!FLAGS.test(flags)) throw refuse(source, `flags ${flags}: only g, i, m, s, u and y are supported`);
    const parser = new Parser(source, flags.includes('u'));
    const tree = parser.parse();
    const compiler = new Compiler(source, makeAtomTest(flags));
    compiler.emit(SAVE, 0);
    compiler.node(tree);
    compiler.emit(SAVE, 1);
    compiler.emit(MATCH);
    const word = new RegExp('^\\w$', flags.replace(/[gym]/g, ''));
    this.#program = {
      op: Uint8Array.from(compiler.op),
      a1: Int32Array.from(compiler.a1),
      a2: Int32Array.from(compiler.a2),
      literal: Int32Array.from(compiler.op, (o, pc) => (o === CHAR ? compiler.tests[compiler.a1[pc]].code ?? -1 : -1)),
      tests: compiler.tests,
      slots: 2 * (parser.groups + 1),
      names: parser.names,
      bits: compiler.emptyLoops,
      multiline: flags.includes('m'),
      isWord: (c) => word.test(String.fromCodePoint(c)),
    };
    this.#cost = Math.ceil(compiler.op.length * (1 << compiler.emptyLoops) * (1 + parser.groups / 4));
    if (this.#cost > MAX_COST) throw refuse(source, `the pattern is too costly (${this.#cost} steps a character, at most ${MAX_COST})`);
  }

  /** The steps a character of text costs at most (see the top of this file). */
  get cost() {
    return this.#cost;
  }

  exec(input) {
    const text = String(input);
    const global = this.global || this.sticky;
    const from = global ? Math.min(Math.max(0, Math.trunc(Number(this.lastIndex)) || 0), text.length + 1) : 0;
    const caps = from <= text.length ? run(this.#program, text, from, this.sticky, this.unicode) : null;
    if (!caps) {
      if (global) this.lastIndex = 0;
      return null;
    }
    if (global) this.lastIndex = caps[1];
    const { slots, names } = this.#program;
    const result = [];
    for (let k = 0; k < slots; k += 2) result.push(caps[k] >= 0 && caps[k + 1] >= 0 ? text.slice(caps[k], caps[k + 1]) : undefined);
    result.index = caps[0];
    result.input = text;
    let groups;
    if (names.some((n) => n !== undefined)) {
      groups = Object.create(null);
      names.forEach((name, k) => name !== undefined && (groups[name] = result[k]));
    }
    result.groups = groups;
    return result;
  }
}

// The Pike machine: threads (pc, captures, empty-iteration bits) in order of
// preference, each (pc, bits) once per position; the first to reach MATCH
// wins over every thread after it. Returns the capture slots of the match,
// or null.
function run(p, text, from, sticky, unicode) {
  const { op, a1, a2, literal, tests, slots, bits, isWord, multiline } = p;
  const size = op.length;
  const variants = 1 << bits;
  // Each (pc, bits) enters a list once a position: no list or stack is
  // longer than the program's variants. Made once per pattern (a run never
  // runs another).
  const room = size * variants;
  if (!p.seen || p.generation > 0x7ffffff0) {
    p.seen = new Int32Array(room).fill(-1);
    p.generation = 0;
    p.room = [new Int32Array(room), new Int32Array(room), new Array(room), new Int32Array(room), new Array(room), new Int32Array(room), new Array(room)];
  }
  const seen = p.seen;
  const [stackPc, stackMask, stackCaps] = p.room;
  let [, , , cPc, cCaps, nPc, nCaps] = p.room;
  const len = text.length;
  const charAt = (i) => (unicode ? text.codePointAt(i) : text.charCodeAt(i));
  const wordAt = (i) => i >= 0 && i < len && isWord(charAt(unicode && i > 0 && isTrail(text.charCodeAt(i)) && isLead(text.charCodeAt(i - 1)) ? i - 1 : i));
  let cCount = 0;
  let nCount = 0;
  let generation = ++p.generation; // of the position threads are added at

  // Follows what takes no character from `pc0` at position `pos`, in order of
  // preference, into the list (listPc, listCaps) from `count`: the CHAR and
  // MATCH threads it leads to. Returns the list's new length.
  const add = (listPc, listCaps, count, pc0, caps0, pos) => {
    let top = 0;
    stackPc[top] = pc0;
    stackCaps[top] = caps0;
    stackMask[top++] = 0;
    while (top > 0) {
      top--;
      let pc = stackPc[top];
      let caps = stackCaps[top];
      const mask = stackMask[top];
      for (;;) {
        const key = pc * variants + mask;
        if (seen[key] === generation) break;
        seen[key] = generation;
        const o = op[pc];
        if (o === CHAR || o === MATCH) {
          listPc[count] = pc;
          listCaps[count++] = caps;
          break;
        }
        if (o === JMP) pc = a1[pc];
        else if (o === SPLIT) {
          stackPc[top] = a2[pc]; // followed after all that a1 leads to
          stackCaps[top] = caps;
          stackMask[top++] = mask;
          pc = a1[pc];
        } else if (o === SAVE) {
          caps = caps.slice();
          caps[a1[pc]] = pos;
          pc++;
        } else if (o === RESET) {
          let k = a1[pc];
          while (k <= a2[pc] && caps[k] < 0) k++;
          if (k <= a2[pc]) {
            caps = caps.slice();
            for (; k <= a2[pc]; k++) caps[k] = -1;
          }
          pc++;
        } else if (o === MARK) {
          stackPc[top] = pc + 1;
          stackCaps[top] = caps;
          stackMask[top++] = mask | (1 << a1[pc]);
          break;
        } else if (o === CHECK) {
          if (mask & (1 << a1[pc])) break; // an iteration that matched nothing
          pc++;
        } else {
          const kind = a1[pc]; // ASSERT
          let ok;
          if (kind === START) ok = pos === 0 || (multiline && isLineEnd(text.charCodeAt(pos - 1)));
          else if (kind === END) ok = pos === len || (multiline && isLineEnd(text.charCodeAt(pos)));
          else ok = (wordAt(pos - 1) !== wordAt(pos)) === (kind === BOUNDARY);
          if (!ok) break;
          pc++;
        }
      }
    }
    return count;
  };

  const fresh = new Array(slots).fill(-1);
  // Where a match can start: at `from` only for "^..." (without the m flag),
  // only at the first character of a pattern that begins with a literal.
  const anchored = op[1] === ASSERT && a1[1] === START && !multiline;
  const first = op[1] === CHAR ? literal[1] : -1;
  const firstText = first >= 0 ? String.fromCodePoint(first) : '';
  let matched = null;
  for (let pos = from; ; ) {
    const c = pos < len ? charAt(pos) : -1;
    // A match starting here is preferred less than every one begun before.
    if (matched === null && (pos === from || (!sticky && !anchored)) && (first < 0 || c === first)) cCount = add(cPc, cCaps, cCount, 0, fresh, pos);
    if (cCount === 0) {
      if (matched !== null || sticky || anchored || pos >= len) break;
      if (first >= 0) {
        // Nothing under way: on to the next place the first character is.
        const at = text.indexOf(firstText, pos + 1);
        if (at < 0) break;
        pos = at;
        generation = ++p.generation;
        continue;
      }
    }
    const next = pos + (c > 0xffff ? 2 : 1);
    generation = ++p.generation;
    nCount = 0;
    for (let k = 0; k < cCount; k++) {
      const pc = cPc[k];
      if (op[pc] === MATCH) {
        matched = cCaps[k];
        break; // the threads after it are preferred less
      }
      if (c < 0) continue;
      const want = literal[pc];
      if (want >= 0 ? want === c : tests[a1[pc]](c)) nCount = add(nPc, nCaps, nCount, pc + 1, cCaps[k], next);
    }
    if (c < 0) break;
    [cPc, nPc] = [nPc, cPc];
    [cCaps, nCaps] = [nCaps, cCaps];
    cCount = nCount;
    pos = next;
  }
  return matched;
}

const isLead = (c) => c >= 0xd800 && c <= 0xdbff;
const isTrail = (c) => c >= 0xdc00 && c <= 0xdfff;

module.exports = { LinearRegExp, MAX_PROGRAM, MAX_EMPTY_LOOPS, MAX_GROUPS, MAX_COST };
