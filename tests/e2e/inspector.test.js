// Smoke test with the MCP Inspector's command-line mode: a client we did not
// write lists the tools and calls tindrel_health.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { join } from 'node:path';
import { test } from 'node:test';
import { promisify } from 'node:util';

import { repository, serverBinary, startCompanion, temporaryDirectory } from './helpers.js';

const run = promisify(execFile);
const cliPackage = join(repository, 'tests', 'e2e', 'node_modules', '@modelcontextprotocol', 'inspector-cli');
const inspector = join(cliPackage, 'build', 'cli.js');

async function inspect(connection, ...method) {
  // The CLI looks for its own package.json relative to the working
  // directory, so it runs from its build directory.
  const { stdout } = await run(
    process.execPath,
    [inspector, '--cli', serverBinary, '--connection', connection, ...method],
    { timeout: 60000, cwd: join(cliPackage, 'build') },
  );
  return JSON.parse(stdout);
}

test('the inspector lists the tools and calls health', { timeout: 120000 }, async (t) => {
  const dir = temporaryDirectory();
  t.after(dir.remove);
  const connection = join(dir.path, 'connection.json');
  const companion = await startCompanion(connection);
  t.after(() => companion.stop());

  const listed = await inspect(connection, '--method', 'tools/list');
  assert.deepEqual(
    listed.tools.map((tool) => tool.name),
    ['tindrel_health', 'tindrel_transcribe', 'tindrel_get_job', 'tindrel_get_result'],
  );

  const health = await inspect(connection, '--method', 'tools/call', '--tool-name', 'tindrel_health');
  assert.equal(health.isError, false);
  assert.equal(health.structuredContent.ready, true);
  assert.equal(JSON.parse(health.content[0].text).engine.standIn, true);
});
