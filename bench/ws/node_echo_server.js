// The reference: an echo server on Node's "ws" package, plain, without
// compression, on a free loopback port. Prints "PORT <n>" and runs until its
// standard input closes.
'use strict';
const { WebSocketServer } = require('ws');

const wss = new WebSocketServer({ host: '127.0.0.1', port: 0, perMessageDeflate: false });
wss.on('listening', () => {
  process.stdout.write(`PORT ${wss.address().port}\n`);
});
wss.on('connection', (ws) => {
  ws.on('message', (data, isBinary) => ws.send(data, { binary: isBinary }));
});
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
