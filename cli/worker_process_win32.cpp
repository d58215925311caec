// Workers as programs of their own: tniff.exe started again with the worker switch, its standard
// input, output and error three pipes of this process. Windows has no fork, and anonymous pipes
// cannot be waited on together, so the loop looks at each pipe in turn (PeekNamedPipe) a few
// milliseconds apart. Ctrl-C, Ctrl-Break and the console closing are this system's stop
// requests.
#include "cli/worker_process.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "tarniff/tarniff.h"

namespace tniff_cli {

const char kWorkerSwitch[] = "--batch-worker";

namespace {

std::vector<std::string> gArguments;
// The stop request that came (a console event + 1), or 0.
std::atomic<int> gStopRequest{0};
// Between a look at every pipe and the next.
const DWORD kLookEveryMs = 5;

HANDLE Handle(Channel channel) { return reinterpret_cast<HANDLE>(channel); }
Channel ChannelOf(HANDLE handle) { return reinterpret_cast<Channel>(handle); }

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    gStopRequest = static_cast<int>(event) + 1;
    return TRUE;  // the batch stops its workers and ends itself
}

// One argument quoted so that CommandLineToArgvW (and the C runtime) give it back as it is.
std::wstring Quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < argument.size() && argument[i] == L'\\') {
            ++backslashes;
            ++i;
        }
        if (i == argument.size()) {
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        if (argument[i] == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        quoted += argument[i];
    }
    return quoted + L"\"";
}

std::string LastError(const char* what) {
    return std::string(what) + " (Windows error " + std::to_string(GetLastError()) + ")";
}

std::wstring OwnProgram() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) return std::wstring(path.data(), length);
        path.resize(path.size() * 2);
    }
}

}  // namespace

void RememberArguments(const std::vector<std::string>& arguments) { gArguments = arguments; }
const std::vector<std::string>& RememberedArguments() { return gArguments; }

void TakeWorkerChannels(Channel* jobs, Channel* results) {
    *jobs = ChannelOf(GetStdHandle(STD_INPUT_HANDLE));
    // Nothing but messages may reach the results pipe: it is kept as a handle of its own, and
    // standard output (which _dup2 closes) becomes stderr.
    HANDLE own = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(), &own,
                    0, FALSE, DUPLICATE_SAME_ACCESS);
    *results = ChannelOf(own);
    std::fflush(stdout);
    _dup2(_fileno(stderr), _fileno(stdout));
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
    // Ctrl-C reaches every process of the console: the batch stops the workers itself.
    SetConsoleCtrlHandler(nullptr, TRUE);
}

std::string CatchStopRequests() {
    if (!SetConsoleCtrlHandler(&OnConsoleEvent, TRUE)) return LastError("cannot watch for Ctrl-C");
    return "";
}

std::string StartWorker(WorkerProcess* worker, const std::vector<WorkerProcess>&, const WorkerBody&,
                        const std::vector<std::string>& arguments) {
    // The pipes are made not to be inherited; the child's three ends are made inheritable just
    // for the start, so that no worker holds another's pipe open.
    HANDLE ends[3][2] = {{nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr}};
    auto closeAll = [&]() {
        for (auto& pair : ends) {
            for (HANDLE& end : pair) {
                if (end != nullptr) CloseHandle(end);
                end = nullptr;
            }
        }
    };
    for (auto& pair : ends) {
        if (!CreatePipe(&pair[0], &pair[1], nullptr, 1 << 16)) {
            const std::string why = LastError("cannot make a pipe");
            closeAll();
            return why;
        }
    }
    // ends[0]: jobs (the child reads [0]); ends[1]: results, ends[2]: errors (the child writes
    // [1]).
    HANDLE childIn = ends[0][0], childOut = ends[1][1], childError = ends[2][1];
    for (HANDLE end : {childIn, childOut, childError})
        SetHandleInformation(end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    std::wstring program = OwnProgram();
    std::wstring commandLine = Quoted(program);
    for (const std::string& argument : arguments)
        commandLine += L" " + Quoted(tarniff::WideText(argument));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = childError;
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    const std::string why = started ? "" : LastError("cannot start a conversion process");
    CloseHandle(childIn);
    CloseHandle(childOut);
    CloseHandle(childError);
    ends[0][0] = ends[1][1] = ends[2][1] = nullptr;
    if (!started) {
        closeAll();
        return why;
    }
    CloseHandle(process.hThread);
    *worker = WorkerProcess();
    worker->id = reinterpret_cast<intptr_t>(process.hProcess);
    worker->jobs = ChannelOf(ends[0][1]);
    worker->results = ChannelOf(ends[1][0]);
    worker->errors = ChannelOf(ends[2][0]);
    return "";
}

int WaitForWorkers(const std::vector<WorkerProcess>& workers, int timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (gStopRequest != 0) return gStopRequest;
        for (const WorkerProcess& worker : workers) {
            for (Channel channel : {worker.results, worker.errors}) {
                if (channel == kNoChannel) continue;
                DWORD waiting = 0;
                if (!PeekNamedPipe(Handle(channel), nullptr, 0, nullptr, &waiting, nullptr) ||
                    waiting > 0)
                    return 0;
            }
        }
        if (timeoutMs >= 0 && GetTickCount64() - start >= static_cast<ULONGLONG>(timeoutMs))
            return 0;
        Sleep(kLookEveryMs);
    }
}

long ReadAvailable(Channel channel, char* buffer, size_t size) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(Handle(channel), nullptr, 0, nullptr, &waiting, nullptr)) return -1;
    if (waiting == 0) return 0;
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(waiting < size ? waiting : size);
    if (!ReadFile(Handle(channel), buffer, want, &got, nullptr) || got == 0) return -1;
    return static_cast<long>(got);
}

bool SendAll(Channel channel, const void* bytes, size_t size) {
    const char* at = static_cast<const char*>(bytes);
    while (size > 0) {
        DWORD done = 0;
        const DWORD want = static_cast<DWORD>(size < (1u << 20) ? size : (1u << 20));
        if (!WriteFile(Handle(channel), at, want, &done, nullptr) || done == 0) return false;
        at += done;
        size -= done;
    }
    return true;
}

bool ReceiveAll(Channel channel, void* bytes, size_t size) {
    char* at = static_cast<char*>(bytes);
    while (size > 0) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(size < (1u << 20) ? size : (1u << 20));
        if (!ReadFile(Handle(channel), at, want, &got, nullptr) || got == 0) return false;
        at += got;
        size -= got;
    }
    return true;
}

void CloseChannel(Channel* channel) {
    if (*channel != kNoChannel) CloseHandle(Handle(*channel));
    *channel = kNoChannel;
}

std::string ReapWorker(WorkerProcess* worker) {
    HANDLE process = reinterpret_cast<HANDLE>(worker->id);
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    worker->id = -1;
    // An exception that ended it (0xC0000005, an access violation) is said in hexadecimal, as
    // Windows names them.
    if (code >= 0xC0000000u) {
        char text[32];
        std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
        return std::string("ended by exception ") + text;
    }
    return "ended with status " + std::to_string(code);
}

void StopWorkers(std::vector<WorkerProcess>* workers, int request) {
    for (WorkerProcess& worker : *workers) {
        if (worker.id > 0)
            TerminateProcess(reinterpret_cast<HANDLE>(worker.id), 128 + static_cast<UINT>(request));
    }
    for (WorkerProcess& worker : *workers) {
        if (worker.id > 0) WaitForSingleObject(reinterpret_cast<HANDLE>(worker.id), INFINITE);
    }
}

std::string StopRequestName(int request) {
    switch (request - 1) {
    case CTRL_C_EVENT: return "Ctrl-C";
    case CTRL_BREAK_EVENT: return "Ctrl-Break";
    case CTRL_CLOSE_EVENT: return "the console closing";
    default: return "a stop request";
    }
}

void EndAsStopped(int request) {
    std::fflush(stderr);
    ExitProcess(128 + static_cast<UINT>(request));
}

}  // namespace tniff_cli
