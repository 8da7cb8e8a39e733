#include "run.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace {

std::string slurp(std::FILE* f) {
  std::string text;
  std::rewind(f);
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
    text.append(buffer, got);
  std::fclose(f);
  return text;
}

}  // namespace

Outcome run(const std::vector<std::string>& argv, unsigned long address_space) {
  // Files rather than pipes, so that a child filling both streams cannot block.
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    if (address_space != 0) {
      const rlimit limit{address_space, address_space};
      setrlimit(RLIMIT_AS, &limit);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  const int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return {status, slurp(out), slurp(err)};
}
