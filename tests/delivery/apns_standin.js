'use strict';
// A local stand-in for the APNs provider API, for the push tests only.
//
// HTTP/2 over TLS on 127.0.0.1 with an ephemeral port, printed as the first
// line of standard output. Every request is checked the way APNs checks it:
// POST /3/device/<token>, a bearer ES256 provider token (header, claims and
// signature against the given public key), apns-topic, apns-push-type "alert",
// apns-priority "10" and a JSON body with "aps". Failures are answered with an
// APNs-style status and {"reason": ...}; each accepted push is appended to the
// record file as one JSON line {"token": ..., "payload": ...} and answered 200.
//
// node apns_standin.js --cert CERT.pem --key KEY.pem --jwt-public-key PUB.pem
//   --kid KEYID --iss TEAMID --topic TOPIC --record FILE [--reject-token TOKEN]...

const crypto = require('crypto');
const fs = require('fs');
const http2 = require('http2');

function parseArguments(argv) {
  const options = { rejectTokens: new Set() };
  for (let i = 0; i < argv.length; i += 2) {
    const name = argv[i];
    const value = argv[i + 1];
    if (value === undefined) throw new Error(`missing value for ${name}`);
    switch (name) {
      case '--cert': options.cert = fs.readFileSync(value); break;
      case '--key': options.key = fs.readFileSync(value); break;
      case '--jwt-public-key': options.jwtPublicKey = crypto.createPublicKey(fs.readFileSync(value)); break;
      case '--kid': options.kid = value; break;
      case '--iss': options.iss = value; break;
      case '--topic': options.topic = value; break;
      case '--record': options.record = value; break;
      case '--reject-token': options.rejectTokens.add(value); break;
      default: throw new Error(`unknown option ${name}`);
    }
  }
  for (const required of ['cert', 'key', 'jwtPublicKey', 'kid', 'iss', 'topic', 'record']) {
    if (options[required] === undefined) throw new Error(`--${required} is required`);
  }
  return options;
}

const options = parseArguments(process.argv.slice(2));
const maxTokenAgeSeconds = 3600;
const base64url = /^[A-Za-z0-9_-]+$/;

function decodeJsonPart(part) {
  if (!base64url.test(part)) return undefined;
  try {
    return JSON.parse(Buffer.from(part, 'base64url').toString('utf8'));
  } catch {
    return undefined;
  }
}

// The reason the provider token is refused, or undefined when it is good.
function providerTokenProblem(authorization) {
  if (typeof authorization !== 'string' || !authorization.startsWith('bearer ')) return [403, 'MissingProviderToken'];
  const parts = authorization.slice('bearer '.length).split('.');
  if (parts.length !== 3 || !parts.every((p) => base64url.test(p))) return [403, 'InvalidProviderToken'];
  const header = decodeJsonPart(parts[0]);
  const claims = decodeJsonPart(parts[1]);
  if (!header || header.alg !== 'ES256' || header.kid !== options.kid) return [403, 'InvalidProviderToken'];
  if (!claims || claims.iss !== options.iss || !Number.isInteger(claims.iat)) return [403, 'InvalidProviderToken'];
  const now = Math.floor(Date.now() / 1000);
  if (claims.iat > now + 60) return [403, 'InvalidProviderToken'];
  if (now - claims.iat > maxTokenAgeSeconds) return [403, 'ExpiredProviderToken'];
  const signature = Buffer.from(parts[2], 'base64url');
  const signed = crypto.verify('sha256', Buffer.from(`${parts[0]}.${parts[1]}`, 'ascii'),
    { key: options.jwtPublicKey, dsaEncoding: 'ieee-p1363' }, signature);
  return signed ? undefined : [403, 'InvalidProviderToken'];
}

function check(headers, body) {
  if (headers[':method'] !== 'POST') return [405, 'MethodNotAllowed'];
  const match = /^\/3\/device\/([^/?#]+)$/.exec(headers[':path'] || '');
  if (!match) return [404, 'BadPath'];
  const tokenProblem = providerTokenProblem(headers.authorization);
  if (tokenProblem) return tokenProblem;
  if (headers['apns-topic'] === undefined) return [400, 'MissingTopic'];
  if (headers['apns-topic'] !== options.topic) return [400, 'BadTopic'];
  if (headers['apns-push-type'] !== 'alert') return [400, 'InvalidPushType'];
  if (headers['apns-priority'] !== '10') return [400, 'BadPriority'];
  if (body.length === 0) return [400, 'PayloadEmpty'];
  let payload;
  try {
    payload = JSON.parse(body.toString('utf8'));
  } catch {
    return [400, 'BadPayload'];
  }
  if (!payload || typeof payload.aps !== 'object' || payload.aps === null) return [400, 'BadPayload'];
  let token;
  try {
    token = decodeURIComponent(match[1]);
  } catch {
    return [400, 'BadDeviceToken'];
  }
  if (options.rejectTokens.has(token)) return [400, 'BadDeviceToken'];
  fs.appendFileSync(options.record, JSON.stringify({ token, payload }) + '\n');
  return [200, undefined];
}

const server = http2.createSecureServer({ cert: options.cert, key: options.key, allowHTTP1: false });

server.on('stream', (stream, headers) => {
  const chunks = [];
  stream.on('data', (chunk) => chunks.push(chunk));
  stream.on('end', () => {
    const [status, reason] = check(headers, Buffer.concat(chunks));
    const answer = { ':status': status, 'apns-id': crypto.randomUUID().toUpperCase() };
    if (reason === undefined) {
      stream.respond(answer, { endStream: true });
    } else {
      stream.respond({ ...answer, 'content-type': 'application/json' });
      stream.end(JSON.stringify({ reason }));
    }
  });
  stream.on('error', () => {});
});

server.on('sessionError', () => {});

server.listen(0, '127.0.0.1', () => {
  process.stdout.write(`${server.address().port}\n`);
});

// Stop with the test that started us, also when it dies without killing us.
process.stdin.on('end', () => process.exit(0));
process.stdin.on('error', () => process.exit(0));
process.stdin.resume();
process.on('SIGTERM', () => process.exit(0));
