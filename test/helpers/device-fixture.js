'use strict';
// Drives the pw-device-fixture client (test/fixtures/pw-device-fixture.cpp):
// one device exported as a session manager exports a sound card, with its
// profiles and routes; added, removed and asked what it holds.
const { FixtureProcess } = require('./fixture');

class DeviceFixture extends FixtureProcess {
  constructor(env = process.env) { super('pw-device-fixture', env); }

  /** As FixtureProcess's, rejected when one is not ok. */
  async commands(...commands) {
    const answers = await super.commands(...commands);
    const failed = answers.find((answer) => !answer.ok);
    if (failed) throw new Error(failed.error);
    return answers;
  }

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
}

module.exports = { DeviceFixture };
