// tindrel-mcp: reads the command line, then serves one MCP session over
// standard input and output until the input ends.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "entry/command_line.h"
#include "entry/tool_wiring.h"
#include "mcp_server/mcp_server.h"
#include "transport/serialized_transport.h"
#include "transport/stdio_message_transport.h"

namespace {

// One write(2) of the whole text; standard error carries nothing else, and a
// failure to write it has nowhere to be reported.
void writeToStandardError(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

bool isOpen(int descriptor) { return ::fcntl(descriptor, F_GETFL) != -1; }

}  // namespace

int main(int argc, char** argv) {
  using tindrel::CommandLine;
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const CommandLine commandLine =
      arguments.empty() ? tindrel::parseCommandLine(arguments, tindrel::currentHomeDirectory())
                        : tindrel::parseCommandLine(arguments, {});
  switch (commandLine.action) {
    case CommandLine::Action::help:
      writeToStandardError(tindrel::kUsageText);
      return 0;
    case CommandLine::Action::invalid:
      writeToStandardError(tindrel::kInvalidArgumentsText);
      return 2;
    case CommandLine::Action::serve:
      break;
  }

  // Checked before anything else can open a file: a closed descriptor 0 or 1
  // would otherwise be taken by the next file opened, and the session would
  // read or write that file.
  if (!isOpen(STDIN_FILENO) || !isOpen(STDOUT_FILENO)) {
    writeToStandardError(tindrel::kTransportStoppedText);
    return 1;
  }
  // A client that closes its end of standard output must cost a failed write,
  // not the process.
  std::signal(SIGPIPE, SIG_IGN);
  // libcurl is loaded and initialised at the first tool call, not here: the
  // session can start answering without waiting for it.

  tindrel::MCPServer server(tindrel::ServerConfiguration{
      "Tindrel", "1.0.0",
      tindrel::JsonObject{{"tools", tindrel::JsonObject{{"listChanged", false}}}}});
  tindrel::registerToolHandlers(server, commandLine.connectionPath);

  tindrel::StdioMessageTransport standardStreams(STDIN_FILENO, STDOUT_FILENO);
  tindrel::SerializedTransport transport(standardStreams);
  try {
    server.start(transport);
  } catch (const tindrel::TransportError&) {
    writeToStandardError(tindrel::kTransportStoppedText);
    std::_Exit(1);
  }
  server.waitUntilCompleted();
  // Handlers still running are abandoned: exit without destroying anything
  // they may be using. Standard output is written with write(2) only, so
  // nothing is left in a buffer; an answer being written at this moment is
  // let finish (a reader that has stopped reading is not waited for long), so
  // the last line on standard output is never cut in half.
  transport.haltWrites(std::chrono::seconds(2));
  std::_Exit(0);
}
