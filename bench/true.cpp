// The floor of one run: a program that starts, does nothing and exits, built
// and linked like anchorfs (C++, libstdc++ and libgcc linked statically).
int main()
{
    return 0;
}
