// The local-model client library, unmodified, talking to a running shim in
// the local-model dialect's full mode. Run by tests/e2e/test_clients.py the
// way openai_client.test.mjs is:
//   SHIM_BASE_URL=http://127.0.0.1:PORT SCENARIO=<name> [EXPECT=<json>] node --test
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Ollama } from 'ollama';

const BASE_URL = process.env.SHIM_BASE_URL;
const SCENARIO = process.env.SCENARIO ?? '';
const EXPECT = process.env.EXPECT ? JSON.parse(process.env.EXPECT) : undefined;

function client() {
  assert.ok(BASE_URL && BASE_URL.startsWith('http://127.0.0.1:'), `SHIM_BASE_URL must name 127.0.0.1, got ${BASE_URL}`);
  return new Ollama({ host: BASE_URL });
}

const MESSAGES = [{ role: 'user', content: 'Say hello' }];

// Every part of a streamed chat, or the error the library threw reading it.
async function streamed(request) {
  const parts = [];
  try {
    for await (const part of await client().chat({ model: 'llama3.1', messages: MESSAGES, ...request, stream: true }))
      parts.push(part);
  } catch (err) {
    return { parts, err };
  }
  return { parts };
}

const scenarios = {
  async stream() {
    const { parts, err } = await streamed({});
    assert.equal(err, undefined);
    assert.equal(parts.map((p) => p.message.content).join(''), EXPECT.text);
    assert.equal(parts.map((p) => p.message.thinking ?? '').join(''), EXPECT.thinking);
    const last = parts.at(-1);
    assert.equal(last.done, true);
    assert.equal(last.done_reason, 'stop');
    // The library's callers add counts up over the parts: only the last has them.
    assert.deepEqual([last.prompt_eval_count, last.eval_count], [EXPECT.prompt_eval_count, EXPECT.eval_count]);
    // No part for the upstream's role-only or empty deltas.
    assert.ok(parts.slice(0, -1).every((p) => !p.done && p.eval_count === undefined && (p.message.content || p.message.thinking)));
  },

  async buffered() {
    const r = await client().chat({ model: 'llama3.1', messages: MESSAGES, stream: false });
    assert.deepEqual(r.message, { role: 'assistant', content: EXPECT.content });
    assert.equal(r.done, true);
    assert.deepEqual([r.prompt_eval_count, r.eval_count], [EXPECT.prompt_eval_count, EXPECT.eval_count]);
  },

  async tools() {
    const tools = [{
      type: 'function',
      function: {
        name: EXPECT.name, description: 'The forecast for a city',
        parameters: { type: 'object', properties: { city: { type: 'string' }, days: { type: 'integer' } }, required: ['city'] },
      },
    }];
    const messages = [{ role: 'user', content: 'Weather in Zürich?' }];
    const { parts, err } = await streamed({ messages, tools });
    assert.equal(err, undefined);
    const calls = parts.flatMap((p) => p.message.tool_calls ?? []);
    assert.equal(calls.length, 1);
    assert.equal(calls[0].function.name, EXPECT.name);
    assert.equal(calls[0].function.index, 0);  // its position among the message's calls
    assert.deepEqual(calls[0].function.arguments, EXPECT.arguments);  // an object, parsed
    messages.push({ role: 'assistant', content: '', tool_calls: calls },
                  { role: 'tool', content: EXPECT.result, tool_name: EXPECT.name });
    const r = await client().chat({ model: 'llama3.1', messages, tools, stream: false });
    assert.equal(r.message.content, EXPECT.answer);
  },

  async unauthorized() {
    for (const stream of [false, true]) {
      await assert.rejects(
        (async () => { for await (const _ of await client().chat({ model: 'x', messages: MESSAGES, stream })); })(),
        (err) => {
          assert.equal(err.name, 'ResponseError', `${err}`);
          assert.equal(err.status_code, 401);
          assert.equal(err.error, EXPECT.message);
          return true;
        });
    }
  },

  async stream_cut() {
    const { parts, err } = await streamed({});
    assert.ok(err instanceof Error, 'a stream cut off read as a whole answer');
    // The shim's own error line, not the library noticing the missing end.
    assert.notEqual(err.message, 'Did not receive done or success response in stream.');
    assert.equal(parts.map((p) => p.message.content).join(''), EXPECT.text);
    assert.ok(parts.every((p) => !p.done));
  },
};

Object.assign(scenarios, {
  // A one-shot prompt, streamed and then buffered, as editors and workflow tools send it.
  async generate() {
    const request = { model: 'llama3.1:latest', prompt: 'Say hello', system: EXPECT.system };
    const parts = [];
    for await (const part of await client().generate({ ...request, stream: true })) parts.push(part);
    assert.equal(parts.map((p) => p.response).join(''), EXPECT.text);
    const last = parts.at(-1);
    assert.deepEqual([last.done, last.done_reason, last.eval_count], [true, 'stop', EXPECT.eval_count]);
    assert.ok(parts.every((p) => typeof p.model === 'string' && typeof p.created_at === 'string' &&
                                 typeof p.response === 'string' && typeof p.done === 'boolean'));
    const r = await client().generate({ ...request, stream: false });
    assert.deepEqual([r.response, r.done, r.done_reason], [EXPECT.content, true, 'stop']);
  },

  // What a model picker reads before its first chat.
  async discovery() {
    const { models } = await client().list();
    assert.equal(models.length, 1);
    assert.equal(models[0].name, EXPECT.name);
    const show = await client().show({ model: models[0].name });
    const arch = show.model_info['general.architecture'];
    assert.equal(show.model_info[`${arch}.context_length`], EXPECT.context_length);
    assert.ok(show.capabilities.includes('tools'));
    const running = await client().ps();
    assert.deepEqual(running.models.map((m) => [m.name, m.context_length]), [[EXPECT.name, EXPECT.context_length]]);
  },

  // Both embedding calls, as indexing tools make them.
  async embed() {
    const r = await client().embed({ model: 'nomic-embed-text', input: ['first', 'second'] });
    assert.deepEqual([r.model, r.embeddings, r.prompt_eval_count], ['nomic-embed-text', EXPECT.vectors, EXPECT.prompt]);
    const old = await client().embeddings({ model: 'nomic-embed-text', prompt: 'first' });
    assert.deepEqual(old.embedding, EXPECT.vectors[0]);
  },
});

test('SCENARIO names a known scenario', () => {
  assert.ok(Object.hasOwn(scenarios, SCENARIO), `unknown SCENARIO "${SCENARIO}"; known: ${Object.keys(scenarios).join(', ')}`);
});

for (const [name, fn] of Object.entries(scenarios)) {
  test(name, { skip: name !== SCENARIO }, fn);
}
