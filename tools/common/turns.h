// The ports of a site are served on threads of their own, and take turns:
// one thread at a time runs the host's code (calls into the devices, their
// observers, the outputs), and each gives its turn up while it waits for its
// line or its clock. A port that waits (a silent power system, a port being
// reopened) holds up nobody: the others run meanwhile. The code that runs
// therefore needs no lock of its own, whatever it shares (the outputs, the
// history file, the notifications), and the plug-in's calls, whose lines
// all go to one standard output, come one at a time (console.h tells whose
// lines they are). A one-device run takes no turns.
#pragma once

namespace tzv58::tool {

// Taken by a port's thread while it lives.
class Turn {
public:
    Turn();
    ~Turn();
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
};

// While it lives, the calling thread's turn, when it holds one, is given
// up: around every wait.
class Waiting {
public:
    Waiting();
    ~Waiting();
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;

private:
    bool gave_ = false;
};

// Runs on the thread that gives its turn up, just before: what it leaves
// behind (the plug-in's lines) is taken care of then.
void before_giving_turn(void (*hook)());

}  // namespace tzv58::tool
