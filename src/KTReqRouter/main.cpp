/* main.cpp - entry point of the request router program.
 *
 * The whole start-up lives in RequestRouterMain so that tests link the same
 * code; this file only hands over the arguments and returns its status.
 */
#include "RequestRouterMain.h"

int main(int argc, char** argv) { return RequestRouterMain(argc, argv); }
