// The Node "ws" side of ws_offers_e2e.py: one connection per case, all at
// once, each checking the server's extension answer and echoing every size.
// usage: node ws_offers_client.js <url> <raw|app> <cases as JSON>
//   case: {name, offer (perMessageDeflate option: false, true or an object),
//          answer (expected Sec-WebSocket-Extensions, "" for none)}
// Prints "node <name>: ok" per case; exits 1 on the first failure.
'use strict';
const WebSocket = require('ws');

const [url, mode, casesJson] = process.argv.slice(2);
const SIZES = [0, 125, 126, 65535, 65536, 1024 * 1024];

function textOf(size) {
  const unit = 'abcdefghijklmnopqrstuvwxyz0123456789';
  return unit.repeat(Math.ceil(size / unit.length) + 1).slice(0, size);
}

// The sample's echo application answers a JSON message with one reply item
// followed by ",".
function wrap(text) {
  return mode === 'raw' ? text : JSON.stringify({ ctrl: 'wsecho', bdata: { text }, token: 't',
    typeappobj: 'o', evt: 'e', evtp: 'p' });
}
function unwrap(reply) {
  if (mode === 'raw') return reply;
  if (!reply.endsWith(',')) throw new Error(`reply without its comma: ${reply.slice(0, 200)}`);
  return JSON.parse(reply.slice(0, -1)).response.data.echo;
}

function runCase(c) {
  return new Promise((resolve, reject) => {
    // Every message compressed, however small (the default skips small ones).
    const offer = typeof c.offer === 'object' ? { threshold: 0, ...c.offer }
      : c.offer ? { threshold: 0 } : false;
    const ws = new WebSocket(url, { perMessageDeflate: offer, maxPayload: 64 * 1024 * 1024 });
    const fail = (e) => { ws.terminate(); reject(new Error(`${c.name}: ${e.message || e}`)); };
    const timer = setTimeout(() => fail(new Error('timed out')), 240000);
    let answer = null;
    ws.on('upgrade', (res) => { answer = res.headers['sec-websocket-extensions'] || ''; });
    ws.on('error', fail);
    const queue = mode === 'raw' ? [...SIZES] : ['first', ...SIZES];
    let expected = null;
    const next = () => {
      if (queue.length === 0) {
        ws.close(4000, 'done');
        return;
      }
      const item = queue.shift();
      expected = typeof item === 'string' ? item : textOf(item);
      ws.send(wrap(expected));
    };
    ws.on('open', () => {
      try {
        if (answer !== c.answer) throw new Error(`answer ${JSON.stringify(answer)}`);
        next();
      } catch (e) { fail(e); }
    });
    ws.on('message', (data, isBinary) => {
      try {
        if (isBinary) throw new Error('binary reply');
        const got = unwrap(data.toString());
        if (got !== expected) throw new Error(`echo of ${expected.length} bytes came back as ${got.length}`);
        next();
      } catch (e) { fail(e); }
    });
    ws.on('close', (code) => {
      clearTimeout(timer);
      // The server answers a close with the client's own status code.
      if (code !== 4000 || queue.length !== 0) reject(new Error(`${c.name}: closed with ${code}`));
      else resolve(c.name);
    });
  });
}

Promise.all(JSON.parse(casesJson).map(runCase)).then((names) => {
  for (const n of names) console.log(`node ${n}: ok`);
  process.exit(0);
}, (e) => {
  console.error(`node ${e.message}`);
  process.exit(1);
});
