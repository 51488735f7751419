#!/usr/bin/env bash
# House rules a compiler does not check: no unbounded string functions anywhere, the POSIX
# calls that stand for Windows services (files, folders, descriptors, sockets, processes,
# clocks, named objects) only inside the platform implementations.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0

banned=$(git ls-files '*.cpp' '*.h' | xargs -r grep -n -E '\b(sprintf|vsprintf|strcpy|strcat|atoi|atol|gets)[[:space:]]*\(' || true)
if [ -n "$banned" ]; then
  echo "checksrc: unbounded or unchecked string functions:"; echo "$banned"; status=1
fi

# Calls, not declarations or local callables: a name right after a type word ("int open(") declares a member;
# "X::close(" defines one; ".read(" and "->write(" call members. "::open(" is a raw call.
raw=$(git ls-files '*.cpp' '*.h' |
  grep -v -E '^(platform/posix/|platform/win32/|tests/|bench/|tools/kfs-devserver/)' |
  xargs -r perl -ne '
    BEGIN {
      $names = join "|", qw(
        opendir fdopendir readdir closedir lstat stat fstat fstatat statx access realpath chdir
        open openat creat close read write pread pwrite lseek fsync fdatasync ftruncate
        unlink unlinkat rename renameat mkdir rmdir link linkat symlink mkfifo flock fcntl
        dup dup2 dup3 pipe pipe2 fopen fdopen freopen
        socket socketpair connect bind listen accept accept4
        fork vfork execv execve execvp execl execle execlp posix_spawn posix_spawnp waitpid
        wait kill killpg prctl
        shm_open shm_unlink sem_open sem_unlink mmap
        time clock_gettime gettimeofday nanosleep usleep sleep);
    }
    my $line = $_;
    next if $line =~ m{^\s*(//|\*)};
    $line =~ s{//.*$}{};
    $line =~ s{"(?:\\.|[^"\\])*"}{""}g;
    while ($line =~ m{(?<![\w.>])(::)?($names)\s*\((\s*\))?}g) {
      my ($global, $name, $empty, $at) = ($1, $2, $3, $-[0]);
      my $before = substr($line, 0, $at);
      next if $empty && $name !~ m{^v?fork$};  # a local callable; those calls take arguments
      next if !$global && $before =~ m{\w::$};
      next if !$global && $before =~ m{\b(\w+)[\s*&]+$} && $1 !~ m{^(return|else|case|throw|co_return|do)$};
      print "$ARGV:$.: $_";
      last;
    }
  } continue { close ARGV if eof' || true)
if [ -n "$raw" ]; then
  echo "checksrc: raw POSIX calls outside platform/posix/ and platform/win32/:"; echo "$raw"; status=1
fi

exit $status
