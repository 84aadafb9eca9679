#include "server.hpp"

int main(int argc, char** argv) {
    return server_main(argc, argv);
}
