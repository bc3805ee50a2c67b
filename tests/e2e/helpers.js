// Shared pieces of the end-to-end tests: where the built programs are, a
// tindrel-companion child process, and an MCP client (the official SDK)
// connected to tindrel-mcp over stdio.
import { spawn } from 'node:child_process';
import { copyFileSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { CallToolResultSchema } from '@modelcontextprotocol/sdk/types.js';

const here = dirname(fileURLToPath(import.meta.url));
export const repository = resolve(here, '..', '..');
const buildDirectory = process.env.TINDREL_BUILD_DIR ?? join(repository, 'build');
export const serverBinary =
  process.env.TINDREL_MCP_BINARY ?? join(buildDirectory, 'src', 'entry', 'tindrel-mcp');
export const companionBinary =
  process.env.TINDREL_COMPANION_BINARY ?? join(buildDirectory, 'companion', 'tindrel-companion');
export const sampleAudio = join(repository, 'samples', 'welcome.wav');

// A private temporary directory, removed by the returned cleanup function.
export function temporaryDirectory() {
  const path = mkdtempSync(join(tmpdir(), 'tindrel-e2e-'));
  return { path, remove: () => rmSync(path, { recursive: true, force: true }) };
}

// Copies the sample recording and its sidecar transcript into `directory`
// under `name` (a name with "fail" or "cancel" in it switches the failure
// paths of the companion on). Returns the audio path.
export function copySample(directory, name = 'welcome.wav') {
  const target = join(directory, name);
  copyFileSync(sampleAudio, target);
  copyFileSync(`${sampleAudio}.transcript.json`, `${target}.transcript.json`);
  return target;
}

// Starts tindrel-companion writing `connection`; resolves once it listens.
// The child is killed when the returned stop() is called (and must be).
export async function startCompanion(connection, { speed = 20, port } = {}) {
  const args = ['--connection', connection, '--speed', String(speed)];
  if (port !== undefined) args.push('--port', String(port));
  const child = spawn(companionBinary, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  const ready = new Promise((resolveReady, rejectReady) => {
    const timer = setTimeout(() => rejectReady(new Error(`companion not ready: ${output}`)), 15000);
    child.stdout.on('data', (chunk) => {
      output += chunk;
      const match = /listening on (http:\/\/127\.0\.0\.1:(\d+))/.exec(output);
      if (match) {
        clearTimeout(timer);
        resolveReady({ baseURL: match[1], port: Number(match[2]) });
      }
    });
    child.stderr.on('data', (chunk) => {
      output += chunk;
    });
    child.on('exit', (code) => {
      clearTimeout(timer);
      rejectReady(new Error(`companion exited with ${code}: ${output}`));
    });
  });
  const exited = new Promise((resolveExit) => child.on('exit', (code) => resolveExit(code)));
  try {
    const { baseURL, port: boundPort } = await ready;
    return {
      baseURL,
      port: boundPort,
      output: () => output,
      // SIGTERM lets it remove its connection file; SIGKILL if it lingers.
      async stop() {
        if (child.exitCode !== null || child.signalCode !== null) return child.exitCode;
        child.kill('SIGTERM');
        const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
        const code = await exited;
        clearTimeout(timer);
        return code;
      },
    };
  } catch (error) {
    child.kill('SIGKILL');
    throw error;
  }
}

// Connects an SDK client to a fresh tindrel-mcp process that reads
// `connection`. close() ends the server process.
export async function connectClient(connection) {
  const transport = new StdioClientTransport({
    command: serverBinary,
    args: ['--connection', connection],
    stderr: 'pipe',
  });
  const client = new Client({ name: 'tindrel-e2e', version: '1.0.0' });
  await client.connect(transport);
  return client;
}

// tools/call through the SDK, its result checked by the SDK's own schema and
// by the tool's declared output schema. Returns the result.
export async function callTool(client, name, args = {}) {
  return client.callTool({ name, arguments: args }, CallToolResultSchema, { timeout: 40000 });
}

// The structured result of a call, after checking that its one text item
// carries the same object.
export function payload(result) {
  if (result.content.length !== 1 || result.content[0].type !== 'text') {
    throw new Error(`expected one text item, got ${JSON.stringify(result.content)}`);
  }
  const fromText = JSON.parse(result.content[0].text);
  if (JSON.stringify(sortKeys(fromText)) !== JSON.stringify(sortKeys(result.structuredContent))) {
    throw new Error('text and structuredContent differ');
  }
  return result.structuredContent;
}

function sortKeys(value) {
  if (Array.isArray(value)) return value.map(sortKeys);
  if (value && typeof value === 'object') {
    return Object.fromEntries(
      Object.keys(value)
        .sort()
        .map((key) => [key, sortKeys(value[key])]),
    );
  }
  return value;
}

export const sleep = (ms) => new Promise((resolveSleep) => setTimeout(resolveSleep, ms));

// Polls tindrel_get_job until the job leaves the pending states. Returns
// { result, statuses } with every status seen on the way.
export async function pollJob(client, jobId, { intervalMs = 100, limitMs = 30000 } = {}) {
  const statuses = [];
  const deadline = Date.now() + limitMs;
  while (Date.now() < deadline) {
    const result = await callTool(client, 'tindrel_get_job', { jobId });
    const job = payload(result);
    statuses.push(job.status);
    if (['completed', 'failed', 'cancelled', 'interrupted'].includes(job.status)) {
      return { result, statuses };
    }
    await sleep(intervalMs);
  }
  throw new Error(`job ${jobId} still pending; statuses ${statuses.join(',')}`);
}

// Reads every page of a completed job's transcript; returns the joined text
// and the pages.
export async function readAllPages(client, jobId, format, maxCharacters) {
  const pages = [];
  let offset = 0;
  for (;;) {
    const page = payload(
      await callTool(client, 'tindrel_get_result', { jobId, format, offset, maxCharacters }),
    );
    pages.push(page);
    if (page.nextOffset === null) break;
    offset = page.nextOffset;
  }
  return { text: pages.map((page) => page.text).join(''), pages };
}
