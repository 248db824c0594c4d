import sys

from python_can_tolvar_mf4_cli import main

sys.exit(main())
