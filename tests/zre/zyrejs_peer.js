// An independent ZRE peer (zyre.js) driven line by line on standard input;
// it prints each of its events as one JSON line on standard output.
//   node zyrejs_peer.js NAME INTERFACE PORT
// Commands: join G | leave G | shout G HEX | whisper ID HEX | stop
// Message payloads travel as hex in both directions.
'use strict';
const Zyre = require('zyre.js');
const readline = require('readline');

const [name, iface, port] = process.argv.slice(2);
const zyre = new Zyre({
  name,
  iface,
  headers: { client: '1', type: 'js' },
  bport: Number(port),
  binterval: 100,
  evasive: 1000,
  expired: 3000,
});
zyre.setEncoding(null);

function out(event) {
  process.stdout.write(`${JSON.stringify(event)}\n`);
}
const hex = (m) => Buffer.from(m).toString('hex');

zyre.on('connect', (id, peer, headers) => out({ ev: 'connect', id, name: peer, headers }));
zyre.on('disconnect', (id, peer) => out({ ev: 'disconnect', id, name: peer }));
zyre.on('expired', (id, peer) => out({ ev: 'expired', id, name: peer }));
zyre.on('join', (id, peer, group) => out({ ev: 'join', id, name: peer, group }));
zyre.on('leave', (id, peer, group) => out({ ev: 'leave', id, name: peer, group }));
zyre.on('shout', (id, peer, msg, group) => out({ ev: 'shout', id, name: peer, group, msg: hex(msg) }));
zyre.on('whisper', (id, peer, msg) => out({ ev: 'whisper', id, name: peer, msg: hex(msg) }));

let stopping = false;
function stop() {
  if (stopping) return;
  stopping = true;
  zyre.stop().then(() => { out({ ev: 'stopped' }); process.exit(0); });
}

const lines = readline.createInterface({ input: process.stdin });
lines.on('line', (line) => {
  const [cmd, a, b] = line.trim().split(' ');
  if (cmd === 'join') zyre.join(a);
  else if (cmd === 'leave') zyre.leave(a);
  else if (cmd === 'shout') zyre.shout(a, Buffer.from(b || '', 'hex'));
  else if (cmd === 'whisper') zyre.whisper(a.toLowerCase(), Buffer.from(b || '', 'hex'));
  else if (cmd === 'stop') stop();
});
lines.on('close', stop);

zyre.start().then(() => out({ ev: 'ready', id: zyre.getIdentity() }));
