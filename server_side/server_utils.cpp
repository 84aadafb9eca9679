#include "server_utils.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "tokenizer.hpp"

void check_duplicates(const AccountTable& login, const std::string& id, int n) {
    for (int i = 0; i < n; ++i) {
        if (login[i] == id) {
            std::printf("ERROR: TWO USERS HAVE THE SAME LOGIN ID. QUITTING NOW...\n");
            std::fflush(stdout);
            std::exit(1);
        }
    }
}

int read_accounts(AccountTable& login, AccountTable& pass, const char* path) {
    std::ifstream file(path);
    if (!file) return -1;
    int n = 0;
    int line_no = 0;
    std::string line;
    while (std::getline(file, line)) {
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        // The login ID is the first non-empty run before a comma, the
        // password the next; anything after them is ignored.
        Tokenizer fields(line);
        const auto id = fields.next(',');
        const auto password = fields.next(',');
        if (!id || !password) {
            std::printf("WARNING: accounts.csv line %d has no login ID or no password. skipped.\n",
                        line_no);
            continue;
        }
        if (n == MAX_ACCOUNTS) {
            std::printf(
                "WARNING: accounts.csv holds more than %d accounts. line %d and the rest "
                "ignored.\n",
                MAX_ACCOUNTS, line_no);
            break;
        }
        const std::string login_id(*id);
        if (n > 0) check_duplicates(login, login_id, n);
        login[n] = login_id;
        pass[n] = std::string(*password);
        ++n;
    }
    return n;
}

int emptySlot(int count, const int* slots) {
    for (int i = 0; i < count; ++i) {
        if (slots[i] < 0) return i;
    }
    return -1;
}

int max(int count, const int* slots) {
    int top = -1;
    for (int i = 0; i < count; ++i) {
        if (slots[i] > top) top = slots[i];
    }
    return top;
}
