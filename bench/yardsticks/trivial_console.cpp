// TrivialConsole.exe: starts and exits, the yardstick for process start-up cost.
int main()
{
    return 0;
}
