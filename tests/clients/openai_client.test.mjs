// The chat-completions client library, unmodified, talking to a running shim.
//
// tests/e2e/test_clients.py starts the mock upstream and the shim, scripts
// the mock's answer and then runs this file once per scenario:
//   SHIM_BASE_URL=http://127.0.0.1:PORT/v1 SCENARIO=<name> [EXPECT=<json>] node --test
// EXPECT carries what the mock was told to answer, so both sides agree on
// one value. Every scenario other than SCENARIO is skipped; an unknown
// SCENARIO fails, so a misspelt name cannot pass unnoticed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import OpenAI, { APIError, AuthenticationError } from 'openai';

const BASE_URL = process.env.SHIM_BASE_URL;
const SCENARIO = process.env.SCENARIO ?? '';
const EXPECT = process.env.EXPECT ? JSON.parse(process.env.EXPECT) : undefined;

function client() {
  assert.ok(BASE_URL && BASE_URL.startsWith('http://127.0.0.1:'), `SHIM_BASE_URL must name 127.0.0.1, got ${BASE_URL}`);
  // maxRetries 0: a retried 401 would hide how many requests the shim passed
  // on. The shim needs no key of its own from callers; the library insists on
  // one, so it sends a dummy. Node's fetch reads no proxy variables, and the
  // runner removes them from the environment as well.
  return new OpenAI({ baseURL: BASE_URL, apiKey: 'sk-client-dummy', maxRetries: 0, timeout: 15000 });
}

const MESSAGES = [{ role: 'user', content: 'Say hello' }];

const scenarios = {
  // The library asks for base64 by default and decodes it; the vectors it
  // hands back must be the upstream's numbers however the upstream answered.
  async embeddings() {
    const r = await client().embeddings.create({ model: 'whatever', input: ['first', 'second'] });
    const got = [];
    for (const d of r.data) got[d.index] = d.embedding;
    assert.equal(got.length, EXPECT.vectors.length);
    got.forEach((v, i) => v.forEach((x, k) => assert.ok(Math.abs(x - EXPECT.vectors[i][k]) < 1e-6, `${x} at ${i},${k}`)));
  },

  async models() {
    const ids = [];
    for await (const m of client().models.list()) ids.push(m.id);
    assert.deepEqual(ids, ['auto']);
  },

  async buffered() {
    // Several requests on one client: the shim closes every connection, and
    // the library's connection pool must cope with that between requests.
    const openai = client();
    for (let i = 0; i < EXPECT.requests; i++) {
      const c = await openai.chat.completions.create({ model: 'whatever', messages: MESSAGES });
      assert.equal(c.object, 'chat.completion');
      assert.equal(c.choices.length, 1);
      assert.equal(c.choices[0].message.role, 'assistant');
      assert.equal(c.choices[0].message.content, EXPECT.content);
      assert.equal(c.choices[0].finish_reason, 'stop');
      assert.deepEqual(c.usage, EXPECT.usage);
    }
  },

  async stream() {
    const stream = await client().chat.completions.create({ model: 'whatever', messages: MESSAGES, stream: true });
    const deltas = [];
    let finish = null;
    for await (const chunk of stream) {
      assert.equal(chunk.object, 'chat.completion.chunk');
      const choice = chunk.choices[0];
      if (choice.delta.content !== undefined) deltas.push(choice.delta.content);
      if (choice.finish_reason) finish = choice.finish_reason;
    }
    assert.deepEqual(deltas, EXPECT.words);
    assert.equal(deltas.join(''), EXPECT.words.join(''));
    assert.equal(finish, 'stop');
  },

  async unauthorized() {
    await assert.rejects(
      client().chat.completions.create({ model: 'whatever', messages: MESSAGES }),
      (err) => {
        assert.ok(err instanceof AuthenticationError, `expected AuthenticationError, got ${err?.constructor?.name}: ${err}`);
        assert.ok(err instanceof APIError);
        assert.equal(err.status, 401);
        assert.equal(err.code, EXPECT.code);
        assert.equal(err.error.message, EXPECT.message);
        return true;
      });
  },

  async stream_error() {
    // The shim has already answered 200 with an event stream when its own
    // upstream call fails, so the failure can only arrive as an event.
    const stream = await client().chat.completions.create({ model: 'whatever', messages: MESSAGES, stream: true });
    let chunks = 0;
    await assert.rejects(
      (async () => { for await (const _ of stream) chunks++; })(),
      (err) => {
        assert.ok(err instanceof APIError, `expected APIError, got ${err?.constructor?.name}: ${err}`);
        assert.equal(err.status, undefined);
        assert.equal(err.type, 'zelk_shim_error');
        assert.ok(err.message.length > 0);
        return true;
      });
    assert.equal(chunks, 0);
  },

  async stream_upstream_error() {
    // The upstream refused a streamed request. Whatever the shim has sent
    // by then, the caller must learn of the refusal rather than see a
    // stream that ends with no chunks.
    await assert.rejects(
      (async () => {
        const stream = await client().chat.completions.create({ model: 'whatever', messages: MESSAGES, stream: true });
        for await (const _ of stream);
      })(),
      (err) => {
        assert.ok(err instanceof APIError, `expected APIError, got ${err?.constructor?.name}: ${err}`);
        assert.ok(err.message.includes(EXPECT.message), err.message);
        return true;
      },
      "the stream ended without an error");
  },
};

test('SCENARIO names a known scenario', () => {
  assert.ok(Object.hasOwn(scenarios, SCENARIO), `unknown SCENARIO "${SCENARIO}"; known: ${Object.keys(scenarios).join(', ')}`);
});

for (const [name, fn] of Object.entries(scenarios)) {
  test(name, { skip: name !== SCENARIO }, fn);
}
