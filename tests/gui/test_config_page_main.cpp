// Runs the Actuators page's Qt Test classes.
// Usage: gui_config_tests [ClassName] [Qt Test options]

#include "ConfigTestSupport.h"
#include "TestMain.h"

int main(int argc, char **argv)
{
    return RunTestClasses(argc, argv,
                          {
                              {"ConfigPageTest", MakeConfigPageTest},
                              {"ConfigFilesTest", MakeConfigFilesTest},
                              {"LearningTest", MakeLearningTest},
                          });
}
