// tindrel-mcp driven by the official MCP TypeScript SDK client over stdio,
// against tindrel-companion as the app's local service.
import assert from 'node:assert/strict';
import { existsSync, readFileSync, statSync } from 'node:fs';
import { createServer } from 'node:net';
import { join } from 'node:path';
import { test } from 'node:test';

import { McpError, ListToolsResultSchema } from '@modelcontextprotocol/sdk/types.js';

import {
  callTool,
  connectClient,
  copySample,
  payload,
  pollJob,
  readAllPages,
  startCompanion,
  temporaryDirectory,
} from './helpers.js';

const TIMEOUT = { timeout: 90000 };

// A port on 127.0.0.1 that is free right now and differs from `port`.
async function freePortOtherThan(port) {
  for (;;) {
    const server = createServer();
    await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
    const candidate = server.address().port;
    await new Promise((resolve) => server.close(resolve));
    if (candidate !== port) return candidate;
  }
}
const SAMPLE_TEXT =
  'Welcome to the Tindrel demo.\nThis short recording is transcribed on this device.';

// A temporary home with a running companion and a connected client; all of
// it is stopped and removed when the test ends, whatever happens.
async function session(t, options) {
  const dir = temporaryDirectory();
  const connection = join(dir.path, 'Agent', 'connection.json');
  const cleanups = [dir.remove];
  t.after(async () => {
    for (const cleanup of cleanups.reverse()) await cleanup();
  });
  const companion = await startCompanion(connection, options);
  cleanups.push(() => companion.stop());
  const client = await connectClient(connection);
  cleanups.push(() => client.close());
  const token = JSON.parse(readFileSync(connection, 'utf8')).authorizationHeader.slice(7);
  return { dir: dir.path, connection, companion, client, token, cleanups };
}

test('lists the four tools with their schemas and hints', TIMEOUT, async (t) => {
  const { client } = await session(t);
  assert.equal(client.getServerVersion().name, 'Tindrel');
  assert.deepEqual(Object.keys(client.getServerCapabilities()), ['tools']);
  const { tools } = await client.request({ method: 'tools/list' }, ListToolsResultSchema);
  assert.deepEqual(
    tools.map((tool) => tool.name),
    ['tindrel_health', 'tindrel_transcribe', 'tindrel_get_job', 'tindrel_get_result'],
  );
  for (const tool of tools) {
    assert.equal(tool.inputSchema.type, 'object');
    assert.equal(tool.inputSchema.additionalProperties, false);
    assert.deepEqual(tool.outputSchema, { type: 'object', additionalProperties: true });
    assert.equal(tool.annotations.openWorldHint, false);
  }
  assert.deepEqual(tools[1].inputSchema.required, ['filePath', 'idempotencyKey']);
  assert.equal(tools[1].annotations.destructiveHint, false);
});

test('health reaches the service and passes its answer on', TIMEOUT, async (t) => {
  const { client, token } = await session(t);
  const result = await callTool(client, 'tindrel_health');
  assert.equal(result.isError, false);
  const health = payload(result);
  assert.equal(health.ready, true);
  assert.equal(health.engine.standIn, true);
  assert.ok(!JSON.stringify(result).includes(token), 'the token reached the client');
});

test('a recording goes from queued to completed and is read page by page', TIMEOUT, async (t) => {
  const { client, dir, token } = await session(t, { speed: 4 });
  const audio = copySample(dir);
  const before = readFileSync(audio);
  const mtime = statSync(audio).mtimeMs;

  const submitted = await callTool(client, 'tindrel_transcribe', {
    filePath: audio,
    idempotencyKey: 'welcome-1',
    identifySpeakers: true,
  });
  assert.equal(submitted.isError, false);
  const { jobId, status, nextPollAfterSeconds } = payload(submitted);
  assert.match(jobId, /^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$/);
  assert.equal(status, 'queued');
  assert.equal(nextPollAfterSeconds, 2);

  // The same key again answers the same job instead of queueing another.
  const again = payload(
    await callTool(client, 'tindrel_transcribe', {
      filePath: audio,
      idempotencyKey: 'welcome-1',
      identifySpeakers: true,
    }),
  );
  assert.equal(again.jobId, jobId);

  // While the job is pending the transcript is not ready yet.
  const early = await callTool(client, 'tindrel_get_result', { jobId: jobId.toLowerCase() });
  assert.equal(early.isError, true);
  assert.equal(payload(early).code, 'result_not_ready');
  assert.equal(payload(early).nextPollAfterSeconds, 2);

  const { result, statuses } = await pollJob(client, jobId);
  assert.ok(statuses.includes('running'), `statuses seen: ${statuses}`);
  const pending = (await callTool(client, 'tindrel_get_job', { jobId })).isError;
  assert.equal(pending, false);
  const job = payload(result);
  assert.equal(job.status, 'completed');
  assert.equal(job.result, undefined, 'get_job never returns the inline result');
  assert.equal(job.nextPollAfterSeconds, undefined);
  assert.ok(existsSync(job.outputMarkdownPath) && existsSync(job.outputJSONPath));

  const text = await readAllPages(client, jobId, 'text', 20);
  assert.equal(text.text, SAMPLE_TEXT);
  assert.ok(text.pages.length > 3);
  assert.ok(text.pages.every((page) => page.totalCharacters === SAMPLE_TEXT.length));
  assert.ok(text.pages.every((page) => page.format === 'text'));

  const json = await readAllPages(client, jobId, 'json', 37);
  const transcript = JSON.parse(json.text);
  assert.deepEqual(
    transcript.utterances.map((u) => [u.text, u.speaker, typeof u.start, typeof u.end]),
    [
      ['Welcome to the Tindrel demo.', 'Speaker 1', 'number', 'number'],
      ['This short recording is transcribed on this device.', 'Speaker 2', 'number', 'number'],
    ],
  );

  // Paging past the end is refused; the end itself is an empty last page.
  const end = payload(
    await callTool(client, 'tindrel_get_result', { jobId, offset: SAMPLE_TEXT.length }),
  );
  assert.deepEqual([end.text, end.nextOffset], ['', null]);
  const beyond = await callTool(client, 'tindrel_get_result', {
    jobId,
    offset: SAMPLE_TEXT.length + 1,
  });
  assert.equal(beyond.isError, true);
  assert.equal(payload(beyond).error, 'offset exceeds totalCharacters.');

  assert.ok(readFileSync(audio).equals(before), 'the source audio changed');
  assert.equal(statSync(audio).mtimeMs, mtime);
  assert.ok(!JSON.stringify([result, text.pages, json.pages]).includes(token));
});

test('failed and cancelled jobs come back as errors with recovery paths', TIMEOUT, async (t) => {
  const { client, dir } = await session(t, { speed: 20 });
  const cases = [
    { name: 'meeting-fail.wav', status: 'failed', code: 'transcription_failed', copy: true },
    { name: 'cancel-me.wav', status: 'cancelled', code: 'cancelled', copy: false },
  ];
  for (const c of cases) {
    const audio = copySample(dir, c.name);
    const { jobId } = payload(
      await callTool(client, 'tindrel_transcribe', { filePath: audio, idempotencyKey: c.name }),
    );
    const { result } = await pollJob(client, jobId);
    assert.equal(result.isError, true, c.name);
    const job = payload(result);
    assert.equal(job.status, c.status);
    assert.equal(job.code, c.code);
    assert.equal(job.sourceFilePath, audio);
    if (c.copy) {
      // The service kept a copy of the audio; it is the path to retry.
      assert.notEqual(job.recoveryFilePath, audio);
      assert.ok(readFileSync(job.recoveryFilePath).equals(readFileSync(audio)));
    } else {
      // No copy: the server points at the source file, which still exists.
      assert.equal(job.recoveryFilePath, audio);
    }
    const asResult = await callTool(client, 'tindrel_get_result', { jobId });
    assert.equal(asResult.isError, true);
    assert.equal(payload(asResult).code, c.code);
  }
});

test('bad arguments, missing files and unknown tools fail cleanly', TIMEOUT, async (t) => {
  const { client, dir } = await session(t);
  const cases = [
    ['tindrel_health', { extra: 1 }, 'invalid_arguments'],
    ['tindrel_transcribe', { filePath: 'relative.wav', idempotencyKey: 'k' }, 'invalid_file_path'],
    ['tindrel_transcribe', { filePath: '/x.wav', idempotencyKey: '  ' }, 'invalid_arguments'],
    ['tindrel_get_job', { jobId: 'not-a-uuid' }, 'invalid_job_id'],
    ['tindrel_get_result', { jobId: '6F1C2E0A-3B4D-4E5F-8A9B-0C1D2E3F4A5B', offset: -1 }, 'invalid_arguments'],
    // Errors of the service itself pass through with their own code.
    ['tindrel_transcribe', { filePath: join(dir, 'missing.wav'), idempotencyKey: 'k' }, 'file_not_found'],
    ['tindrel_get_job', { jobId: '6F1C2E0A-3B4D-4E5F-8A9B-0C1D2E3F4A5B' }, 'job_not_found'],
  ];
  for (const [name, args, code] of cases) {
    const result = await callTool(client, name, args);
    assert.equal(result.isError, true, `${name} ${JSON.stringify(args)}`);
    const error = payload(result);
    assert.equal(error.code, code, `${name} ${JSON.stringify(args)}`);
    assert.equal(typeof error.error, 'string');
    assert.equal(typeof error.recoverySuggestion, 'string');
  }
  await assert.rejects(callTool(client, 'tindrel_delete_everything'), (error) => {
    assert.ok(error instanceof McpError);
    assert.equal(error.code, -32602);
    return true;
  });
});

test('a restarted service is used at once, without restarting the server', TIMEOUT, async (t) => {
  const { client, connection, companion, cleanups } = await session(t);
  assert.equal((await callTool(client, 'tindrel_health')).isError, false);
  const firstFile = readFileSync(connection, 'utf8');

  // The app quits: its connection file goes, and the server says so at once.
  await companion.stop();
  assert.ok(!existsSync(connection));
  const down = await callTool(client, 'tindrel_health');
  assert.equal(down.isError, true);
  assert.equal(payload(down).code, 'service_unavailable');

  // The app starts again on another port with another token.
  const restarted = await startCompanion(connection, { port: await freePortOtherThan(companion.port) });
  cleanups.push(() => restarted.stop());
  const secondFile = readFileSync(connection, 'utf8');
  assert.notEqual(JSON.parse(secondFile).authorizationHeader, JSON.parse(firstFile).authorizationHeader);
  assert.notEqual(restarted.port, companion.port);
  const up = await callTool(client, 'tindrel_health');
  assert.equal(up.isError, false);
  assert.equal(payload(up).ready, true);
});
