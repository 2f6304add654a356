#!/usr/bin/env node
'use strict';
// Benchmark of the web patchbay, in headless Chromium against a private daemon:
// 1. event to page update: for every event of a burst of 100 nodes (their
//    ports and info), the time from the server hearing it (the Graph's event)
//    to the page having drawn it (performance.now() in the browser, after the
//    frame's DOM update), at the 50th and 99th percentiles; target p99 <= 100 ms.
// 2. server memory with 10 pages open over 10,000 events (property changes
//    of 10 nodes): the server's anonymous resident memory, sampled as they go.
//   node bench/web.js [--events N]
const fs = require('node:fs');
const { startDaemon } = require('../test/helpers/daemon');
const { Fixture, waitFor } = require('../test/helpers/fixture');
const { startWeb, launchBrowser, openPage } = require('../test/helpers/web');
const { startWebServer } = require('../lib/web/server');
const { fmt } = require('./common');

const EVENTS = Number(process.argv[process.argv.indexOf('--events') + 1]) || 10000;
const pct = (xs, p) => [...xs].sort((a, b) => a - b)[Math.min(xs.length - 1, Math.floor((p / 100) * xs.length))];
const rssAnonMiB = (pid) => Number(/RssAnon:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]) / 1024;

async function latency(fixture, browser) {
  const graph = await require('..').connect();
  const server = await startWebServer({ graph, port: 0 });
  try {
    const rounds = [];
    const page = await openPage(browser, server.url);
    for (let round = 0; round < 5; round++) {
      await page.evaluate(() => (window.__quorvane.latencies.length = 0));
      const before = graph.nodes().length;
      const ids = await fixture.addMany(100, `burst${round}`, 'Audio/Sink', 2, 2);
      await page.waitForFunction((n) => document.querySelectorAll('.node').length === n, before + 100, { timeout: 30000 });
      // The nodes' info follows them: let it be drawn too.
      await new Promise((r) => setTimeout(r, 500));
      rounds.push(...(await page.evaluate(() => window.__quorvane.latencies)));
      await fixture.remove(...ids);
      await page.waitForFunction((n) => document.querySelectorAll('.node').length === n, before, { timeout: 30000 });
    }
    console.log(`event -> page update, 100-node bursts x5 (${rounds.length} events): p50 ${fmt(pct(rounds, 50))} ms, p99 ${fmt(pct(rounds, 99))} ms, max ${fmt(Math.max(...rounds))} ms (target p99 <= 100 ms)`);
    await page.close();
  } finally {
    await server.close();
    await graph.close();
  }
}

async function memory(fixture, browser, env) {
  const web = await startWeb(env);
  try {
    const pages = [];
    for (let i = 0; i < 10; i++) pages.push(await openPage(browser, web.url));
    const ids = await fixture.addMany(10, 'churn', 'Audio/Sink', 2, 0);
    const samples = [];
    for (let i = 1; i <= EVENTS; i++) {
      await fixture.setProps(ids[i % ids.length], { 'media.name': `title ${i}` });
      if (i % (EVENTS / 10) === 0) samples.push([i, rssAnonMiB(web.run.child.pid)]);
    }
    const last = `title ${EVENTS}`;
    for (const page of pages) {
      await page.waitForFunction((t) => [...document.querySelectorAll('.node > title')].some((e) => e.textContent.includes(t)), last, { timeout: 30000 });
    }
    const first = samples[0][1];
    const end = samples[samples.length - 1][1];
    console.log(`server memory, 10 pages, ${EVENTS} events: ${samples.map(([i, m]) => `${i}: ${m.toFixed(1)}`).join(', ')} MiB (RssAnon); after the first ${samples[0][0]}: ${end >= first ? '+' : ''}${(end - first).toFixed(1)} MiB`);
    await Promise.all(pages.map((p) => p.close()));
    await fixture.remove(...ids);
  } finally {
    await web.run.stop();
  }
}

async function main() {
  const daemon = startDaemon({ objects: [] });
  const fixture = new Fixture();
  const browser = await launchBrowser({ width: 1200, height: 800 });
  try {
    await latency(fixture, browser);
    await memory(fixture, browser, daemon.env);
  } finally {
    await browser.close();
    await fixture.close();
    daemon.stop();
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
