// rasman: the remote access service daemon of one machine root
// ($SKYPORTAL_ROOT). The client library starts it when nobody answers.
#include "platform/rasman/ServiceLoop.h"

int main() { return sp::ras::RunService(); }
