// The one-shot run: start, answer prompts, collect the output.
#include "pexpect_custom/run.hpp"

#include <iostream>
#include <stdexcept>

namespace pexpect_custom {

namespace {

struct run_state {
  const std::string& command;
  std::optional<double> timeout;
  bool withexitstatus;
  const std::optional<run_events>& events;
  std::any& extra_args;
  std::ostream* logfile;
  const std::optional<std::string>& cwd;
  const std::optional<environment>& env;
  spawn& child;
  std::optional<pattern_list> patterns;
  std::vector<run_response> responses;
  std::vector<std::string> child_result_list;
  long event_count = 0;
  long index = 0;
  std::optional<callback_return> last_callback_result;
};

spawn make_child(const std::string& command, const run_options& options) {
  spawn_options child_options{.maxread = 2000,
                              .logfile = options.logfile,
                              .cwd = options.cwd,
                              .env = options.env,
                              .ignore_sighup = options.ignore_sighup,
                              .delaybeforesend = options.delaybeforesend,
                              .delayafterclose = options.delayafterclose,
                              .delayafterterminate = options.delayafterterminate,
                              .delayafterread = options.delayafterread,
                              .ignorecase = options.ignorecase,
                              .use_native_pty_fork = options.use_native_pty_fork,
                              .logfile_read = options.logfile_read,
                              .logfile_send = options.logfile_send,
                              .dimensions = options.dimensions};
  // -1 keeps the child's own default time-out.
  if (!options.timeout.means_field()) child_options.timeout = options.timeout;
  return spawn(command, {}, child_options);
}

run_context context_of(run_state& state) {
  return run_context{state.command,
                     state.timeout,
                     state.withexitstatus,
                     state.events ? &*state.events : nullptr,
                     &state.extra_args,
                     state.logfile,
                     state.cwd,
                     state.env,
                     &state.child,
                     state.patterns ? &*state.patterns : nullptr,
                     state.patterns ? &state.responses : nullptr,
                     &state.child_result_list,
                     state.event_count,
                     state.index,
                     state.last_callback_result};
}

// Answers the event at `state.index`; returns false when a callback asked to stop.
bool answer(run_state& state) {
  const run_response& response = state.responses.at(static_cast<std::size_t>(state.index));
  if (const auto* text = std::get_if<std::string>(&response)) {
    state.child.send(*text);
    return true;
  }
  if (const auto* hidden = std::get_if<secret>(&response)) {
    state.child.send(*hidden);
    return true;
  }
  const auto& callback = std::get<run_callback>(response);
  if (!callback) throw std::invalid_argument("The callback must be a string or function type.");
  run_context context = context_of(state);
  callback_return result = callback(context);
  state.last_callback_result = result;
  std::cout.flush();
  if (const auto* text = std::get_if<std::string>(&result)) {
    state.child.send(*text);
    return true;
  }
  const auto* stop = std::get_if<bool>(&result);
  return !(stop && *stop);
}

void collect_until_done(run_state& state) {
  while (true) {
    try {
      state.index = state.patterns ? state.child.expect(*state.patterns) : state.child.expect(std::nullopt);
      const auto* matched = state.child.after ? std::get_if<std::string>(&*state.child.after) : nullptr;
      state.child_result_list.push_back(state.child.before.value_or("") + (matched ? *matched : ""));
      if (!answer(state)) return;
      ++state.event_count;
    } catch (const TIMEOUT&) {
      state.child_result_list.push_back(state.child.before.value_or(""));
      return;
    } catch (const EOF_&) {
      state.child_result_list.push_back(state.child.before.value_or(""));
      return;
    }
  }
}

}  // namespace

run_result run(const std::string& command, timeout_arg timeout, bool withexitstatus,
               std::optional<run_events> events, std::any extra_args, std::ostream* logfile,
               const std::optional<std::string>& cwd, const std::optional<environment>& env) {
  return run(command, run_options{.timeout = timeout,
                                  .withexitstatus = withexitstatus,
                                  .events = std::move(events),
                                  .extra_args = std::move(extra_args),
                                  .logfile = logfile,
                                  .cwd = cwd,
                                  .env = env});
}

run_result run(const std::string& command, run_options options) {
  spawn child = make_child(command, options);
  run_state state{command,
                  options.timeout.seconds(),
                  options.withexitstatus,
                  options.events,
                  options.extra_args,
                  options.logfile,
                  options.cwd,
                  options.env,
                  child,
                  {},
                  {},
                  {},
                  0,
                  0,
                  std::nullopt};
  if (options.events) {
    state.patterns.emplace();
    for (const auto& [pattern, response] : *options.events) {
      state.patterns->push_back(pattern);
      state.responses.push_back(response);
    }
  }
  collect_until_done(state);
  run_result result;
  for (const auto& piece : state.child_result_list) result.output += piece;
  if (options.withexitstatus) {
    child.close();
    result.exitstatus = child.exitstatus;
  }
  return result;
}

}  // namespace pexpect_custom
