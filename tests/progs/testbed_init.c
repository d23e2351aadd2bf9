/* First process of a simulated router's PID namespace: runs the command,
 * forwards termination signals to it, reaps every orphan, and exits with the
 * command's status once it has ended (which ends the namespace). */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

static volatile pid_t child = -1;

static void forward(int sig) {
    if (child > 0) kill(child, sig);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: testbed_init COMMAND...\n");
        return 2;
    }
    const int forwarded[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2};
    struct sigaction sa = {0};
    sa.sa_handler = forward;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < sizeof forwarded / sizeof forwarded[0]; ++i) sigaction(forwarded[i], &sa, NULL);

    child = fork();
    if (child < 0) {
        perror("testbed_init: fork");
        return 1;
    }
    if (child == 0) {
        struct sigaction dfl = {0};
        dfl.sa_handler = SIG_DFL;
        for (size_t i = 0; i < sizeof forwarded / sizeof forwarded[0]; ++i) sigaction(forwarded[i], &dfl, NULL);
        execvp(argv[1], argv + 1);
        fprintf(stderr, "testbed_init: cannot run %s\n", argv[1]);
        _exit(127);
    }
    for (;;) {
        int status;
        pid_t pid = wait(&status);
        if (pid < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (pid == child) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
    }
}
