#include "passwd_tool.hpp"

int main(int argc, char** argv) {
    return passwd_main(argc, argv);
}
