// One whole MCP session with tindrel-mcp, as an agent would run it, printed
// for a person to follow. Run by scripts/demo, which starts the service first.
//
//   node demo-session.js SERVER_BINARY CONNECTION_FILE AUDIO_FILE
import { basename } from 'node:path';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { CallToolResultSchema, ListToolsResultSchema } from '@modelcontextprotocol/sdk/types.js';

const [serverBinary, connection, audio] = process.argv.slice(2);
const PAGE_SIZE = 40;

const client = new Client({ name: 'tindrel-demo', version: '1.0.0' });
const transport = new StdioClientTransport({
  command: serverBinary,
  args: ['--connection', connection],
});

async function call(name, args = {}) {
  const result = await client.callTool({ name, arguments: args }, CallToolResultSchema);
  const payload = result.structuredContent;
  if (result.isError) {
    throw new Error(`${name} failed: ${payload.code}: ${payload.error} ${payload.recoverySuggestion ?? ''}`);
  }
  return payload;
}

function bar(fraction) {
  const filled = Math.round(fraction * 20);
  return `[${'#'.repeat(filled)}${'.'.repeat(20 - filled)}] ${String(Math.round(fraction * 100)).padStart(3)}%`;
}

const sleep = (seconds) => new Promise((resolve) => setTimeout(resolve, seconds * 1000));

try {
  await client.connect(transport);
  const server = client.getServerVersion();
  console.log(`initialize     connected to ${server.name} ${server.version}`);

  const { tools } = await client.request({ method: 'tools/list' }, ListToolsResultSchema);
  console.log(`tools/list     ${tools.map((tool) => tool.name).join(', ')}`);

  const health = await call('tindrel_health');
  console.log(`tindrel_health ${health.status} (engine: ${health.engine?.name ?? 'unknown'})`);

  const submitted = await call('tindrel_transcribe', {
    filePath: audio,
    idempotencyKey: `demo-${basename(audio)}`,
    identifySpeakers: true,
  });
  console.log(`tindrel_transcribe ${basename(audio)} -> job ${submitted.jobId} (${submitted.status})`);

  // Poll as the server asks: every nextPollAfterSeconds while the job is pending.
  let job = submitted;
  let wait = submitted.nextPollAfterSeconds ?? 2;
  for (;;) {
    await sleep(wait);
    job = await call('tindrel_get_job', { jobId: submitted.jobId });
    console.log(`tindrel_get_job ${bar(job.progress ?? 0)} ${job.status.padEnd(9)} ${job.progressDescription ?? ''}`);
    if (job.nextPollAfterSeconds === undefined) break;
    wait = job.nextPollAfterSeconds;
  }

  let offset = 0;
  const pages = [];
  for (;;) {
    const page = await call('tindrel_get_result', {
      jobId: submitted.jobId,
      format: 'text',
      offset,
      maxCharacters: PAGE_SIZE,
    });
    pages.push(page.text);
    console.log(`tindrel_get_result page ${pages.length}: characters ${offset}-${offset + [...page.text].length} of ${page.totalCharacters}`);
    if (page.nextOffset === null) break;
    offset = page.nextOffset;
  }
  console.log('\nTranscript:');
  for (const line of pages.join('').split('\n')) console.log(`  ${line}`);
  console.log('\nOutput files written by the service (in the temporary home, removed at the end):');
  console.log(`  ${job.outputMarkdownPath}\n  ${job.outputJSONPath}`);
} finally {
  await client.close();
}
