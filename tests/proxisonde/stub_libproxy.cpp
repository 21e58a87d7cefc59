// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 The lumivar-proxisonde authors
// A stand-in for libproxy.so.1 that records every call, so that the tests see
// what proxisonde asks of the library. PROXY_STUB_LOG names the file the
// calls are recorded in, one a line; it is mapped when the library is
// loaded, before the probe closes its descriptors and gives up its rights to
// write. PROXY_STUB=no-factory makes creation give no factory;
// PROXY_STUB=no-answer makes the lookup return nothing.
//
// PROXY_STUB=escape makes the lookup try each way out that a script which
// took over libproxy's engine would try, each recorded as "try NAME ERRNO"
// (0: it worked; a negative number: the signal that ended it), after a line
// "kernel LANDLOCK-ABI SECCOMP" with what the kernel offers. What they aim
// at is laid out when the library is loaded, as the caller's and the
// session's: files in the directory PROXY_STUB_DIR (which the tests make in
// /tmp), the user's key and settings in its home/ (HOME), a descriptor left
// open, a terminal, and, in a process of its own, a session bus socket in
// its run/ (XDG_RUNTIME_DIR), an abstract unix socket and a TCP port to
// connect to. The file that PROXY_STUB_READS names may list more files to
// read, a line "NAME<tab>PATH" each.
//
// PROXY_STUB=gsettings makes the lookup read GSettings' key
// PROXY_STUB_KEY, "SCHEMA KEY", as libproxy's configuration modules read the
// proxy settings, recorded as "gsettings VALUE": GIO is loaded then.
//
// PROXY_STUB=linger makes the lookup start a child that outlives it, as in
// escape, and then last ten seconds; PROXY_STUB=crash makes it fail as a
// fault inside the library would; PROXY_STUB=ids records the lookup's user
// and group IDs and its effective capabilities as "ids UID GID CAPS".
//
// PROXY_STUB=chatty makes the lookup write a line to stdout and to stderr,
// and start a helper through /bin/sh that writes one to stderr, as
// libproxy's modules and helpers may: recorded as "wrote FD ERRNO" and
// "helper STATUS".
//
// PROXY_STUB_RENAME="FROM TO [FROM TO...]" renames each FROM to its TO at
// the start of the lookup, after the probe has confined itself, as a
// desktop's settings service saves a file: a process of its own, forked
// when the library is loaded, does it while the lookup waits.
//
// The probe's own reads of the environment are recorded as "getenv NAME":
// it binds getenv to this library, which it needs before the C library.
//
// The factory type is opaque, and incomplete in some versions of the header,
// so the factory is a byte from malloc: a run under valgrind then also shows
// a factory that is not freed, or freed twice.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <linux/keyctl.h>
#include <linux/net.h>
#include <linux/random.h>
#include <linux/seccomp.h>
#include <mqueue.h>
#include <netinet/in.h>
#include <proxy.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>

#ifndef __NR_io_uring_setup
#define __NR_io_uring_setup 425
#endif
#ifndef __NR_clone3
#define __NR_clone3 435
#endif

namespace {

constexpr size_t log_size = size_t{64} * 1024;
// The record, a stream over the mapped file.
FILE *log_file = nullptr;

// What the lookup aims at, laid out when the library is loaded (no object
// that a constructor makes: this library's own may run after load()).
const char *dir = "";
int left_open = -1;
in_port_t port = 0;
char abstract_name[64] = "";
char terminal[64] = "";
int terminal_missing = 0; // the errno where no terminal could be made
int shared_segment = -1; // a System V segment of the probe's, by its ID
int segment_missing = 0; // the errno where none could be made
// Where libproxy reads a kioslaverc: in $XDG_CONFIG_HOME, or else in $HOME's
// .config; where dconf keeps its flag file: in $XDG_RUNTIME_DIR.
char settings_file[4096] = "";
char flag_file[4096] = "";
pid_t outside = -1;
pid_t caller_pid = -1;
uid_t loaded_uid = 0;
gid_t loaded_gid = 0;
// A file of /tmp by its handle, taken before the confinement.
alignas(file_handle) char handle_bytes[sizeof(file_handle) + MAX_HANDLE_SZ];
// The files of PROXY_STUB_READS, each "NAME\0PATH" from malloc.
char *more_reads[64] = {};

std::string at(const char *path)
{
	return std::string{dir} + path;
}

// Where the program's own code is loaded.
uintptr_t program_start = 0;
uintptr_t program_end = 0;

int find_program(dl_phdr_info *info, size_t /*size*/, void * /*data*/)
{
	for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
		const ElfW(Phdr) &segment = info->dlpi_phdr[i];
		if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0) {
			program_start = info->dlpi_addr + segment.p_vaddr;
			program_end = program_start + segment.p_memsz;
		}
	}
	return 1; // the program comes first
}

bool mode_is(const char *mode)
{
	const char *const m = getenv("PROXY_STUB");
	return m != nullptr && strcmp(m, mode) == 0;
}

// The record, which a run without PROXY_STUB_LOG has not.
FILE *record()
{
	if (log_file == nullptr)
		abort();
	return log_file;
}

// Checks that a line was recorded.
void recorded(int written)
{
	if (written < 0)
		abort();
}

void write_file(const std::string &path, const char *text)
{
	int const fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0 || write(fd, text, strlen(text)) != static_cast<ssize_t>(strlen(text)) || close(fd) != 0)
		abort();
}

// The descriptor moved to one of lowest or above, where 0, 1 and 2, which
// the caller may have left closed and the process outside closes, are not.
int moved(int fd, int lowest)
{
	int const high = fcntl(fd, F_DUPFD, lowest);
	if (high < 0 || close(fd) != 0)
		abort();
	return high;
}

int listening(int domain, const sockaddr *address, socklen_t length)
{
	int const fd = moved(socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0), 3);
	if (bind(fd, address, length) != 0 || listen(fd, 8) != 0)
		abort();
	return fd;
}

// The names and paths of PROXY_STUB_READS.
void load_reads()
{
	const char *const list_name = getenv("PROXY_STUB_READS");
	if (list_name == nullptr)
		return;
	FILE *const list = fopen(list_name, "re");
	char line[8192];
	for (char **entry = more_reads; list != nullptr && fgets(line, sizeof line, list) != nullptr && *entry == nullptr;
	     ++entry) {
		for (const char *end : {"\n", "\t"})
			if (char *const found = strpbrk(line, end); found != nullptr)
				*found = '\0';
		*entry = static_cast<char *>(malloc(sizeof line));
		if (*entry == nullptr)
			abort();
		memcpy(*entry, line, sizeof line);
	}
	if (list == nullptr || fclose(list) != 0)
		abort();
}

// Beside the flag file, a link to a file outside, where the runtime
// directory is one.
void link_beside_flag(const char *runtime)
{
	if (runtime == nullptr || runtime[0] != '/' || strcmp(runtime, "/") == 0)
		return;
	std::string const flags = std::string{runtime} + "/dconf";
	if ((mkdir(flags.c_str(), 0700) == 0 || errno == EEXIST) &&
	    ((unlink((flags + "/link").c_str()) != 0 && errno != ENOENT) ||
	     symlink(at("/kept").c_str(), (flags + "/link").c_str()) != 0))
		abort();
}

// A System V segment of the probe's, attached and marked for removal: it
// lives while the probe does. Where none can be made, its try is skipped.
void make_segment()
{
	shared_segment = shmget(IPC_PRIVATE, 4096, 0600);
	segment_missing = shared_segment < 0 ? errno : 0;
	if (shared_segment >= 0 && (reinterpret_cast<intptr_t>(shmat(shared_segment, nullptr, SHM_RDONLY)) == -1 ||
	                            shmctl(shared_segment, IPC_RMID, nullptr) != 0))
		abort();
}

// The files, a descriptor left open, and a process outside that listens
// where the session and the network would.
void lay_out()
{
	dir = getenv("PROXY_STUB_DIR");
	if (dir == nullptr)
		abort();
	for (const char *sub : {"/home", "/home/.ssh", "/home/.config", "/home/.config/dconf", "/run", "/run/dconf"})
		if (mkdir(at(sub).c_str(), 0700) != 0)
			abort();
	write_file(at("/kept"), "kept");
	write_file(at("/doomed"), "doomed");
	write_file(at("/moved"), "moved");
	write_file(at("/long"), "0123456789");
	write_file(at("/home/.ssh/id_ed25519"), "key");
	write_file(at("/home/.config/kioslaverc"), "settings");
	write_file(at("/home/.config/dconf/user"), "settings");
	auto *const handle = reinterpret_cast<file_handle *>(handle_bytes);
	handle->handle_bytes = MAX_HANDLE_SZ;
	int mount_id = 0;
	if (name_to_handle_at(AT_FDCWD, at("/kept").c_str(), handle, &mount_id, 0) != 0)
		abort();
	const char *const config = getenv("XDG_CONFIG_HOME");
	const char *const home = getenv("HOME");
	const char *const runtime = getenv("XDG_RUNTIME_DIR");
	if (config != nullptr && config[0] == '/')
		(void)snprintf(settings_file, sizeof settings_file, "%s/kioslaverc", config);
	else
		(void)snprintf(settings_file, sizeof settings_file, "%s/.config/kioslaverc", home != nullptr ? home : "");
	(void)snprintf(flag_file, sizeof flag_file, "%s/dconf/user", runtime != nullptr ? runtime : "");
	link_beside_flag(runtime);
	// Above the descriptors that the probe opens while it closes the others,
	// or the highest that the limit leaves.
	// (1024 where an outer sandbox refuses the question)
	rlimit files{1024, 1024};
	(void)getrlimit(RLIMIT_NOFILE, &files);
	left_open = moved(open(at("/left-open").c_str(), O_WRONLY | O_CREAT, 0644),
	                  static_cast<int>(std::min<rlim_t>(100, files.rlim_cur - 1)));
	// A terminal, which lives while the process outside holds its master;
	// where none can be made (no devpts), its try is skipped.
	int const opened = posix_openpt(O_RDWR | O_NOCTTY);
	int const master = opened < 0 ? -1 : moved(opened, 3);
	if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
		terminal_missing = errno;
	else
		terminal_missing = ptsname_r(master, terminal, sizeof terminal);

	sockaddr_un bus{};
	bus.sun_family = AF_UNIX;
	(void)snprintf(bus.sun_path, sizeof bus.sun_path, "%s/run/bus", dir);
	sockaddr_un abstract{};
	abstract.sun_family = AF_UNIX;
	(void)snprintf(abstract_name, sizeof abstract_name, "lumivar-proxisonde-stub-%d", getpid());
	memcpy(abstract.sun_path + 1, abstract_name, strlen(abstract_name));
	sockaddr_in tcp{};
	tcp.sin_family = AF_INET;
	tcp.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t tcp_length = sizeof tcp;
	int const listeners[] = {
		listening(AF_UNIX, reinterpret_cast<const sockaddr *>(&bus), sizeof bus),
		listening(AF_UNIX, reinterpret_cast<const sockaddr *>(&abstract),
		          static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + strlen(abstract_name))),
		listening(AF_INET, reinterpret_cast<const sockaddr *>(&tcp), sizeof tcp),
	};
	if (getsockname(listeners[2], reinterpret_cast<sockaddr *>(&tcp), &tcp_length) != 0)
		abort();
	port = ntohs(tcp.sin_port);
	make_segment();
	pid_t const parent = getpid();
	caller_pid = getppid();
	loaded_uid = getuid();
	loaded_gid = getgid();
	outside = fork();
	if (outside < 0)
		abort();
	if (outside == 0) {
		// Holds the listeners until the probe ends (a signal at its end
		// would not come through: it may signal nothing outside).
		for (int fd = 0; fd <= 2; ++fd)
			(void)close(fd);
		timespec const moment{0, 20'000'000L};
		while (getppid() == parent)
			(void)nanosleep(&moment, nullptr);
		_exit(0);
	}
	for (int fd : listeners)
		(void)close(fd);
	if (master >= 0)
		(void)close(master);
	// And at 3, the lowest that a caller leaves open.
	if (dup2(left_open, 3) != 3)
		abort();
}

// The page that the lookup and the renaming process share: 1 when the
// lookup asks for the rename, 2 when it is done.
volatile char *rename_state = nullptr;

void renamer()
{
	const char *const pairs = getenv("PROXY_STUB_RENAME");
	if (pairs == nullptr)
		return;
	void *const page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
	if (page == MAP_FAILED)
		abort();
	rename_state = static_cast<volatile char *>(page);
	pid_t const parent = getpid();
	pid_t const child = fork();
	if (child < 0)
		abort();
	if (child > 0)
		return;
	timespec const moment{0, 1'000'000L};
	while (*rename_state != 1 && getppid() == parent)
		(void)nanosleep(&moment, nullptr);
	char from[4096] = "";
	char to[4096] = "";
	int used = 0;
	for (const char *rest = pairs; *rename_state == 1 && sscanf(rest, "%4095s %4095s%n", from, to, &used) == 2;
	     rest += used)
		if (rename(from, to) != 0)
			abort();
	*rename_state = 2;
	_exit(0);
}

// Has the file renamed, and waits for it (4 s at most).
void renamed()
{
	if (rename_state == nullptr)
		return;
	*rename_state = 1;
	timespec const moment{0, 1'000'000L};
	for (int i = 0; i < 4000 && *rename_state != 2; ++i)
		(void)nanosleep(&moment, nullptr);
	recorded(fprintf(record(), "renamed %d\n", *rename_state == 2 ? 1 : 0));
}

void recorded_ids()
{
	__user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
	__user_cap_data_struct caps[_LINUX_CAPABILITY_U32S_3]{};
	if (syscall(SYS_capget, &header, caps) != 0)
		abort();
	recorded(fprintf(record(), "ids %u %u %llx\n", static_cast<unsigned>(getuid()), static_cast<unsigned>(getgid()),
	                 (static_cast<unsigned long long>(caps[1].effective) << 32U) | caps[0].effective));
}

[[gnu::constructor]] void load()
{
	(void)dl_iterate_phdr(find_program, nullptr);
	const char *const name = getenv("PROXY_STUB_LOG");
	if (name == nullptr)
		return;
	int const fd = open(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0 || ftruncate(fd, log_size) != 0)
		abort();
	void *const mapped = mmap(nullptr, log_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	(void)close(fd);
	log_file = mapped == MAP_FAILED ? nullptr : fmemopen(mapped, log_size, "w");
	if (log_file == nullptr || setvbuf(log_file, nullptr, _IONBF, 0) != 0)
		abort();
	if (mode_is("escape")) {
		lay_out();
		load_reads();
	}
	renamer();
}

bool closes(int fd, bool done)
{
	if (fd >= 0)
		(void)close(fd);
	return done;
}

bool writes(const std::string &path, int flags)
{
	int const fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
	return closes(fd, fd >= 0 && write(fd, "x", 1) == 1);
}

// Opens a path of any length for reading: where it is too long, a
// directory of it at a time, as a script may.
int open_long(int from, const char *path)
{
	size_t cut = strlen(path);
	if (cut < PATH_MAX)
		return openat(from, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
	for (cut = PATH_MAX - 1; cut > 0 && path[cut] != '/';)
		--cut;
	int const parent = openat(from, std::string{path, cut}.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
	int const fd = parent < 0 ? -1 : open_long(parent, path + cut + 1);
	int const error = errno;
	if (parent >= 0)
		(void)close(parent);
	errno = error;
	return fd;
}

bool reads(const std::string &path)
{
	char byte = 0;
	// Without waiting for what a terminal or a device has yet to give.
	int const fd = open_long(AT_FDCWD, path.c_str());
	return closes(fd, fd >= 0 && (read(fd, &byte, 1) >= 0 || errno == EAGAIN));
}

bool connects(int domain, const sockaddr *address, socklen_t length)
{
	int const fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
	return closes(fd, fd >= 0 && connect(fd, address, length) == 0);
}

bool connects_to(const char *path, bool abstract)
{
	sockaddr_un address{};
	address.sun_family = AF_UNIX;
	memcpy(address.sun_path + (abstract ? 1 : 0), path, strlen(path));
	return connects(AF_UNIX, reinterpret_cast<const sockaddr *>(&address),
	                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + (abstract ? 1 : 0) + strlen(path)));
}

sockaddr_in loopback(in_port_t port_number)
{
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	address.sin_port = htons(port_number);
	return address;
}

bool listens()
{
	sockaddr_in const address = loopback(0);
	int const fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	return closes(fd, fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
	                      listen(fd, 1) == 0);
}

bool device_ioctl()
{
	int count = 0;
	int const fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
	return closes(fd, fd >= 0 && ioctl(fd, RNDGETENTCNT, &count) == 0);
}

bool rings()
{
	char params[120] = {}; // struct io_uring_params, zeroed
	long const fd = syscall(__NR_io_uring_setup, 1, params);
	return closes(static_cast<int>(fd), fd >= 0);
}

// Maps up to 16 GiB of private memory for data, 64 MiB at a time, never
// touched (malloc may fill what it hands out), then unmaps it all.
bool allocates()
{
	constexpr size_t chunk = size_t{64} << 20U;
	static void *chunks[256];
	size_t mapped = 0;
	for (; mapped < std::size(chunks); ++mapped) {
		chunks[mapped] = mmap(nullptr, chunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
		if (chunks[mapped] == MAP_FAILED)
			break;
	}
	int const err = errno;
	for (size_t i = 0; i < mapped; ++i)
		(void)munmap(chunks[i], chunk);
	errno = err;
	return mapped == std::size(chunks);
}

// Types into the terminal, or pastes in it: refused by the filter, each; on
// standard input, /dev/null in the tests, or a terminal. Its errno is the
// first call's unless that was refused.
bool types_keys()
{
	char paste = 3; // TIOCL_PASTESEL
	bool const typed = ioctl(0, TIOCSTI, "x") == 0;
	int const first = errno;
	bool const pasted = ioctl(0, TIOCLINUX, &paste) == 0;
	if (first != EPERM)
		errno = first;
	return typed || pasted;
}

bool opens_by_handle()
{
	// Its mount is the working directory's.
	if (chdir(dir) != 0)
		return false;
	int const fd = open_by_handle_at(AT_FDCWD, reinterpret_cast<file_handle *>(handle_bytes), O_RDONLY | O_CLOEXEC);
	return closes(fd, fd >= 0);
}

// A byte of this library's data, at the same address in the process
// outside, which was forked from this one.
char marker = 'm';

bool reads_outside()
{
	char byte = 0;
	iovec local{&byte, 1};
	iovec remote{&marker, 1};
	return process_vm_readv(outside, &local, 1, &remote, 1, 0) == 1;
}

bool takes_descriptor()
{
	auto const pidfd = static_cast<int>(syscall(SYS_pidfd_open, outside, 0));
	if (pidfd < 0)
		return false;
	auto const fd = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, 0, 0));
	return closes(pidfd, closes(fd, fd >= 0));
}

bool traces()
{
	bool const attached = ptrace(PTRACE_ATTACH, outside, nullptr, nullptr) == 0;
	if (attached) {
		(void)waitpid(outside, nullptr, 0);
		(void)ptrace(PTRACE_DETACH, outside, nullptr, nullptr);
	}
	return attached;
}

// A unix socket through socketcall(2), where the target has it.
bool socketcall_unix()
{
#ifdef __NR_socketcall
	unsigned long arguments[] = {AF_UNIX, SOCK_STREAM, 0};
	auto const fd = static_cast<int>(syscall(__NR_socketcall, SYS_SOCKET, arguments));
	return closes(fd, fd >= 0);
#else
	errno = ENOSYS;
	return false;
#endif
}

// Runs the try in a child of its own, which it may end or whose namespaces
// it may change; its errno, or a signal as its negative number, in errno.
bool in_child(bool (*attempt)())
{
	pid_t const child = fork();
	if (child == 0)
		_exit(attempt() ? 0 : errno);
	int status = 0;
	if (child < 0 || waitpid(child, &status, 0) != child)
		return false;
	errno = WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
	return errno == 0;
}

// An x32 call on x86-64, which the filter must kill; its status in errno,
// a signal as its negative number.
bool x32_call()
{
#if defined(__x86_64__) && !defined(__ILP32__)
	return in_child([] { return syscall(0x40000000L | __NR_getpid) >= 0; });
#else
	errno = ENOSYS;
	return false;
#endif
}

// The session's System V objects listed, or else one made, which would
// outlive the probe (removed again where it was made).
template <typename List, typename Make, typename Remove>
bool lists_or_makes(List list, Make make, Remove remove)
{
	if (list())
		return true;
	int const made = make();
	if (made >= 0)
		remove(made);
	return made >= 0;
}

// A child of a child that left the lookup's session, as a daemon is
// started: it holds the probe's stdout and stderr for some seconds, longer
// than the probe lives, which the tests see.
bool outlives()
{
	return in_child([] {
		pid_t const stray = setsid() < 0 ? -1 : fork();
		if (stray == 0) {
			timespec const seconds{5, 0};
			(void)nanosleep(&seconds, nullptr);
			_exit(0);
		}
		return stray > 0;
	});
}

// Set the process's limit, nice value, affinity, scheduler or I/O
// priority to what it is.
bool sets_limit(pid_t pid)
{
	rlimit limit{};
	return prlimit(pid, RLIMIT_CORE, nullptr, &limit) == 0 && prlimit(pid, RLIMIT_CORE, &limit, nullptr) == 0;
}
bool sets_nice(pid_t pid)
{
	errno = 0;
	int const nice = getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
	return errno == 0 && setpriority(PRIO_PROCESS, static_cast<id_t>(pid), nice) == 0;
}
bool sets_affinity(pid_t pid)
{
	cpu_set_t cpus;
	return sched_getaffinity(pid, sizeof cpus, &cpus) == 0 && sched_setaffinity(pid, sizeof cpus, &cpus) == 0;
}
bool sets_scheduler(pid_t pid)
{
	sched_param param{};
	return sched_getparam(pid, &param) == 0 && sched_setscheduler(pid, SCHED_OTHER, &param) == 0;
}
bool sets_io_priority(pid_t pid)
{
	long const io = syscall(SYS_ioprio_get, 1, pid); // IOPRIO_WHO_PROCESS
	return io >= 0 && syscall(SYS_ioprio_set, 1, pid, io) == 0;
}

// The probe's own, by 0 and by its ID.
bool sets_own()
{
	pid_t const own[] = {0, getpid()};
	return std::all_of(std::begin(own), std::end(own), [](pid_t pid) {
		return sets_limit(pid) && sets_nice(pid) && sets_affinity(pid) && sets_scheduler(pid) && sets_io_priority(pid);
	});
}

// Routes a socket's signals to the process outside, by fcntl's command.
bool routes_by_fcntl(int command)
{
	int const fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	f_owner_ex owner{F_OWNER_PID, outside};
	if (command == F_SETOWN_EX)
		return closes(fd, fcntl(fd, F_SETOWN_EX, &owner) == 0);
	return closes(fd, fcntl(fd, command, command == F_SETSIG ? SIGTERM : outside) == 0);
}

// The same by ioctl's.
bool routes_by_ioctl(unsigned long command)
{
	int const fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
	return closes(fd, ioctl(fd, command, &outside) == 0);
}

// Sets the flags, or the extended ones, of the file on stderr (a pipe, or
// the test's own file) to what they are.
bool sets_flags(bool extended)
{
	int flags = 0;
	fsxattr attributes{};
	if (extended) {
		(void)ioctl(2, FS_IOC_FSGETXATTR, &attributes);
		return ioctl(2, FS_IOC_FSSETXATTR, &attributes) == 0;
	}
	(void)ioctl(2, FS_IOC_GETFLAGS, &flags);
	return ioctl(2, FS_IOC_SETFLAGS, &flags) == 0;
}

// Makes a POSIX message queue, and removes it.
bool queues()
{
	char name[64];
	(void)snprintf(name, sizeof name, "/lumivar-proxisonde-stub-%d", getpid());
	mqd_t const queue = mq_open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600, nullptr);
	return queue != static_cast<mqd_t>(-1) && mq_close(queue) == 0 && mq_unlink(name) == 0;
}

// Lists the System V shared memory segments through ipc(2), where the
// target has it.
bool multiplexed_ipc()
{
#ifdef __NR_ipc
	shm_info info{};
	return syscall(__NR_ipc, 24, 0, SHM_INFO, 0, &info) >= 0; // SHMCTL
#else
	errno = ENOSYS;
	return false;
#endif
}

// Makes a user namespace with clone or clone3, whose child ends at once.
bool clones(bool three)
{
	// clone3's first arguments, as its first version has them
	struct {
		__u64 flags, pidfd, child_tid, parent_tid, exit_signal, stack, stack_size, tls;
	} args{CLONE_NEWUSER, 0, 0, 0, SIGCHLD, 0, 0, 0};
#ifdef __s390x__
	long const child = three ? syscall(__NR_clone3, &args, sizeof args) : syscall(SYS_clone, 0, CLONE_NEWUSER | SIGCHLD);
#else
	long const child = three ? syscall(__NR_clone3, &args, sizeof args) : syscall(SYS_clone, CLONE_NEWUSER | SIGCHLD, 0);
#endif
	if (child == 0)
		_exit(0);
	return child > 0 && waitpid(static_cast<pid_t>(child), nullptr, 0) == child;
}

// Whether the descriptor that the caller left open can be written, or any
// other above 2 is open, which the probe kept; errno is the write's.
bool descriptor_open()
{
	bool const wrote = write(left_open, "x", 1) == 1;
	int const error = errno;
	bool kept = false;
	for (int fd = 3; fd < 1024 && !kept; ++fd)
		kept = fd != left_open && fcntl(fd, F_GETFD) >= 0;
	errno = error;
	return wrote || kept;
}

struct way_out {
	const char *name;
	bool (*attempt)();
};

// In this order: the descriptor first, before anything is opened here.
const way_out ways_out[] = {
	{"descriptor", descriptor_open},
	{"standard descriptors", [] { return fcntl(0, F_GETFD) >= 0 && fcntl(1, F_GETFD) >= 0 && fcntl(2, F_GETFD) >= 0; }},
	{"create", [] { return writes(at("/created"), O_WRONLY | O_CREAT | O_EXCL); }},
	{"append", [] { return writes(at("/kept"), O_WRONLY | O_APPEND); }},
	{"mkdir", [] { return mkdir(at("/made").c_str(), 0755) == 0; }},
	{"remove", [] { return unlink(at("/doomed").c_str()) == 0; }},
	{"rename", [] { return rename(at("/moved").c_str(), at("/renamed").c_str()) == 0; }},
	{"truncate", [] { return truncate(at("/long").c_str(), 0) == 0; }},
	{"chmod", [] { return chmod(at("/kept").c_str(), 0600) == 0; }},
	{"chown", [] { return chown(at("/kept").c_str(), getuid(), getgid()) == 0; }},
	{"utimes", [] { return utimensat(AT_FDCWD, at("/kept").c_str(), nullptr, 0) == 0; }},
	{"setxattr", [] { return setxattr(at("/kept").c_str(), "user.stub", "x", 1, 0) == 0; }},
	{"io_uring", rings},
	{"keyring", [] { return syscall(SYS_keyctl, KEYCTL_GET_KEYRING_ID, KEY_SPEC_SESSION_KEYRING, 0) >= 0; }},
	{"make the flag file as dconf does", [] {
		 int const fd = open(flag_file, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
		 return closes(fd, fd >= 0 && pwrite(fd, "", 1, 1) == 1);
	 }},
	{"truncate the flag file", [] {
		 int const fd = open(flag_file, O_WRONLY | O_CLOEXEC);
		 return closes(fd, fd >= 0 && ftruncate(fd, 0) == 0);
	 }},
	{"make a directory beside the flag", [] { return mkdir((std::string{flag_file} + "-made").c_str(), 0700) == 0; }},
	{"write through a link beside the flag", [] {
		 std::string link{flag_file};
		 return writes(link.replace(link.rfind('/'), std::string::npos, "/link"), O_WRONLY | O_APPEND);
	 }},
	{"read temporary", [] { return reads(at("/kept")); }},
	{"read key", [] { return reads(at("/home/.ssh/id_ed25519")); }},
	{"read settings", [] { return reads(settings_file); }},
	{"read system", [] { return reads("/etc/passwd"); }},
	{"read caller", [] { return reads("/proc/" + std::to_string(caller_pid) + "/environ"); }},
	{"terminal", [] {
		 int const fd = open(terminal, O_RDWR | O_NOCTTY | O_CLOEXEC);
		 return closes(fd, fd >= 0);
	 }},
	{"inject keystrokes", types_keys},
	{"open by handle", opens_by_handle},
	{"signal itself", [] { return kill(getpid(), 0) == 0; }},
	{"signal caller", [] { return kill(caller_pid, 0) == 0; }},
	{"signal everyone", [] { return kill(-1, 0) == 0; }},
	{"ptrace", traces},
	{"read memory", reads_outside},
	{"take a descriptor", takes_descriptor},
	{"abstract socket", [] { return connects_to(abstract_name, true); }},
	{"session bus", [] { return connects_to(at("/run/bus").c_str(), false); }},
	{"unix socket through socketcall", socketcall_unix},
	{"x32 call", x32_call},
	{"listen", listens},
	{"connect", [] {
		 sockaddr_in const address = loopback(port);
		 return connects(AF_INET, reinterpret_cast<const sockaddr *>(&address), sizeof address);
	 }},
	{"device ioctl", device_ioctl},
	{"memory", allocates},
	{"own limits and scheduling", sets_own},
	{"own IDs", [] {
		 errno = getuid() == loaded_uid && getgid() == loaded_gid ? 0 : EINVAL;
		 return errno == 0;
	 }},
	{"another process's limit", [] { return sets_limit(outside); }},
	{"another process's nice value", [] { return sets_nice(outside); }},
	{"another process's affinity", [] { return sets_affinity(outside); }},
	{"another process's scheduler", [] { return sets_scheduler(outside); }},
	{"another process's I/O priority", [] { return sets_io_priority(outside); }},
	// a group by the probe's ID, which leads none: the filter looks at the ID alone
	{"another process group's nice value", [] {
		 errno = 0;
		 int const nice = getpriority(PRIO_PROCESS, 0);
		 return errno == 0 && setpriority(PRIO_PGRP, static_cast<id_t>(getpid()), nice) == 0;
	 }},
	{"another process group's I/O priority", [] {
		 long const io = syscall(SYS_ioprio_get, 1, 0);
		 return io >= 0 && syscall(SYS_ioprio_set, 2, getpid(), io) == 0; // IOPRIO_WHO_PGRP
	 }},
	{"F_SETOWN", [] { return routes_by_fcntl(F_SETOWN); }},
	{"F_SETOWN_EX", [] { return routes_by_fcntl(F_SETOWN_EX); }},
	{"F_SETSIG", [] { return routes_by_fcntl(F_SETSIG); }},
	{"FIOSETOWN", [] { return routes_by_ioctl(FIOSETOWN); }},
	{"SIOCSPGRP", [] { return routes_by_ioctl(SIOCSPGRP); }},
	{"System V shared memory", [] {
		 return lists_or_makes(
			 [] {
				 shm_info info{};
				 return shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds *>(&info)) >= 0;
			 },
			 [] { return shmget(IPC_PRIVATE, 4096, 0600); }, [](int id) { (void)shmctl(id, IPC_RMID, nullptr); });
	 }},
	{"attach a System V segment by its ID", [] {
		 void *const at = shmat(shared_segment, nullptr, SHM_RDONLY);
		 if (reinterpret_cast<intptr_t>(at) == -1)
			 return false;
		 (void)shmdt(at);
		 return true;
	 }},
	{"System V semaphores", [] {
		 return lists_or_makes(
			 [] {
				 seminfo info{};
				 return semctl(0, 0, SEM_INFO, &info) >= 0;
			 },
			 [] { return semget(IPC_PRIVATE, 1, 0600); }, [](int id) { (void)semctl(id, 0, IPC_RMID); });
	 }},
	{"System V message queues", [] {
		 return lists_or_makes(
			 [] {
				 msginfo info{};
				 return msgctl(0, MSG_INFO, reinterpret_cast<msqid_ds *>(&info)) >= 0;
			 },
			 [] { return msgget(IPC_PRIVATE, 0600); }, [](int id) { (void)msgctl(id, IPC_RMID, nullptr); });
	 }},
	{"POSIX message queues", queues},
	{"System V IPC through ipc", multiplexed_ipc},
	{"a file's flags", [] { return sets_flags(false); }},
	{"a file's extended flags", [] { return sets_flags(true); }},
	{"truncate a standard descriptor", [] { return ftruncate(2, 0) == 0; }},
	{"unshare", [] { return in_child([] { return unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0; }); }},
	{"setns", [] {
		 return in_child([] {
			 int const fd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
			 return closes(fd, fd >= 0 && setns(fd, CLONE_NEWNET) == 0);
		 });
	 }},
	{"clone a namespace", [] { return in_child([] { return clones(false); }); }},
	{"clone3", [] { return in_child([] { return clones(true); }); }},
	{"a child outliving the probe", outlives},
};

// The errno where the target of the way out could not be laid out, or 0.
int target_missing(const char *name)
{
	if (strcmp(name, "terminal") == 0)
		return terminal_missing;
	if (strcmp(name, "attach a System V segment by its ID") == 0)
		return segment_missing;
	return 0;
}

void escape()
{
	long const abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U);
	__u32 action = SECCOMP_RET_ERRNO;
	bool const seccomp = syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0U, &action) == 0;
	recorded(fprintf(record(), "kernel %ld %d\n", abi < 0 ? 0 : abi, seccomp ? 1 : 0));
	for (const way_out &way : ways_out) {
		if (int const missing = target_missing(way.name); missing != 0) {
			recorded(fprintf(record(), "skip %s %d\n", way.name, missing));
			continue;
		}
		errno = 0;
		bool const done = way.attempt();
		recorded(fprintf(record(), "try %s %d\n", way.name, done ? 0 : errno));
	}
	for (const char *name : more_reads) {
		errno = 0;
		bool const done = name != nullptr && reads(name + strlen(name) + 1);
		if (name != nullptr)
			recorded(fprintf(record(), "try %s %d\n", name, done ? 0 : errno));
	}
}

// Starts a child that outlives the lookup, then takes longer than the
// caller waits.
void lingers()
{
	bool const started = outlives();
	recorded(fprintf(record(), "try a child outliving the probe %d\n", started ? 0 : errno));
	timespec const seconds{10, 0};
	(void)nanosleep(&seconds, nullptr);
}

// Writes a line to stdout and stderr, and has a helper write one to stderr.
void chatter()
{
	for (int fd : {1, 2}) {
		char line[64];
		int const length = snprintf(line, sizeof line, "stand-in: a message on %d\n", fd);
		errno = 0;
		bool const wrote = write(fd, line, static_cast<size_t>(length)) == length;
		recorded(fprintf(record(), "wrote %d %d\n", fd, wrote ? 0 : errno));
	}
	pid_t const helper = fork();
	if (helper == 0) {
		execl("/bin/sh", "sh", "-c", "echo 'stand-in: a helper message' >&2", static_cast<char *>(nullptr));
		_exit(127);
	}
	int status = 0;
	if (helper < 0 || waitpid(helper, &status, 0) != helper)
		abort();
	recorded(fprintf(record(), "helper %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
}

// Reads the GSettings key, as a GIO client with whatever backend GIO picks.
void read_gsettings()
{
	char schema[256] = "";
	char key[256] = "";
	const char *const wanted = getenv("PROXY_STUB_KEY");
	void *const gio = dlopen("libgio-2.0.so.0", RTLD_NOW);
	if (wanted == nullptr || sscanf(wanted, "%255s %255s", schema, key) != 2 || gio == nullptr)
		abort();
	auto const settings_new = reinterpret_cast<void *(*)(const char *)>(dlsym(gio, "g_settings_new"));
	auto const get_string = reinterpret_cast<char *(*)(void *, const char *)>(dlsym(gio, "g_settings_get_string"));
	auto const release = reinterpret_cast<void (*)(void *)>(dlsym(gio, "g_free"));
	auto const unref = reinterpret_cast<void (*)(void *)>(dlsym(gio, "g_object_unref"));
	if (settings_new == nullptr || get_string == nullptr || release == nullptr || unref == nullptr)
		abort();
	void *const settings = settings_new(schema);
	char *const value = get_string(settings, key);
	recorded(fprintf(record(), "gsettings %s\n", value));
	release(value);
	unref(settings);
}

} // namespace

extern "C" char *getenv(const char *name)
{
	auto const caller = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
	if (log_file != nullptr && caller >= program_start && caller < program_end)
		recorded(fprintf(log_file, "getenv %s\n", name));
	size_t const length = strlen(name);
	for (char **variable = environ; variable != nullptr && *variable != nullptr; ++variable)
		if (strncmp(*variable, name, length) == 0 && (*variable)[length] == '=')
			return *variable + length + 1;
	return nullptr;
}

pxProxyFactory *px_proxy_factory_new(void)
{
	pxProxyFactory *factory = nullptr;
	if (!mode_is("no-factory")) {
		factory = static_cast<pxProxyFactory *>(malloc(1));
		if (factory == nullptr)
			abort();
	}
	recorded(fprintf(record(), "new %p\n", static_cast<void *>(factory)));
	return factory;
}

// The signature is libproxy's.
// cppcheck-suppress constParameterPointer
char **px_proxy_factory_get_proxies(pxProxyFactory *self, const char *url)
{
	recorded(fprintf(record(), "get_proxies %p %s\n", static_cast<void *>(self), url));
	renamed();
	if (mode_is("chatty"))
		chatter();
	if (mode_is("escape"))
		escape();
	if (mode_is("linger"))
		lingers();
	if (mode_is("crash")) {
		rlimit const no_core{0, 0};
		(void)setrlimit(RLIMIT_CORE, &no_core);
		__builtin_trap();
	}
	if (mode_is("ids"))
		recorded_ids();
	if (mode_is("gsettings"))
		read_gsettings();
	if (mode_is("no-answer"))
		return nullptr;
	// Allocated as libproxy does: the caller frees each string, then the array.
	char **const proxies = static_cast<char **>(calloc(3, sizeof *proxies));
	if (proxies == nullptr)
		abort();
	proxies[0] = strdup("http://127.0.0.1:3128");
	proxies[1] = strdup("direct://");
	if (proxies[0] == nullptr || proxies[1] == nullptr)
		abort();
	return proxies;
}

void px_proxy_factory_free(pxProxyFactory *self)
{
	recorded(fprintf(record(), "free %p\n", static_cast<void *>(self)));
	free(self);
}
