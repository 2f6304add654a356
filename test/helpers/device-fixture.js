'use strict';
// Drives the pw-device-fixture client (test/fixtures/pw-device-fixture.cpp):
// one device exported as a session manager exports a sound card, with its
// profiles and routes; added, removed and asked what it holds.
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const path = require('node:path');
const readline = require('node:readline');

const BIN = path.join(__dirname, '..', '..', 'build-native', 'pw-device-fixture');

class DeviceFixture {
  constructor(env = process.env) {
    this.proc = spawn(BIN, [], { env, stdio: ['pipe', 'pipe', 'inherit'] });
    this.waiting = [];
    readline.createInterface({ input: this.proc.stdout }).on('line', (line) => this.waiting.shift()?.(JSON.parse(line)));
  }

  // Sends the commands (arrays of fields) in one write, so that the
  // fixture runs them together even while JavaScript is busy; resolves to
  // their answers.
  commands(...commands) {
    const answers = commands.map(() => new Promise((resolve, reject) => {
      this.waiting.push((answer) => (answer.ok ? resolve(answer) : reject(new Error(answer.error))));
    }));
    this.proc.stdin.write(commands.map((fields) => fields.join('\t') + '\n').join(''));
    return Promise.all(answers);
  }

  async command(...fields) { return (await this.commands(fields))[0]; }

  /** Resolves to the device's registry id once the daemon announced it ("device.name" `name`). */
  async add(name) { return (await this.command('add', name)).id; }
  remove() { return this.command('remove'); }
  /** Removes the device and adds one named `name` at once; resolves to its id. */
  async replace(name) { return (await this.commands(['remove'], ['add', name]))[1].id; }
  /** { profile, route (-1: none), sets: the params the device was sent } */
  state() { return this.command('state'); }
  /** Resolves to the id of a null sink named `name` of the device ("device.id"), once announced. */
  async node(name) { return (await this.command('node', name)).id; }
  /** The device switches its profile by itself. */
  switchProfile(index) { return this.command('set-profile', index); }

  async close() {
    if (this.proc.exitCode !== null) return;
    this.proc.stdin.end();
    await once(this.proc, 'exit');
  }
}

module.exports = { DeviceFixture };
