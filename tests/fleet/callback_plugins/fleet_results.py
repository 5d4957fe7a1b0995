# Each host's result of each task, as one JSON file (FLEET_RESULTS), for the
# fleet test to read: ansible-core has no JSON callback of its own.
# {"<task name>": {"<host>": {"changed", "failed", "skipped", "unreachable",
#                             "msg", "last_error", "warnings", "items"}}}
import json
import os

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = '''
name: fleet_results
type: aggregate
short_description: every host's result of every task, as one JSON file
description: Writes the file that the environment variable FLEET_RESULTS names when the playbook ends.
requirements: [FLEET_RESULTS set]
'''


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'fleet_results'
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super().__init__()
        self.tasks = {}

    def _record(self, result, **flags):
        r = result._result
        entry = {
            'changed': bool(r.get('changed', False)),
            'failed': bool(r.get('failed', False)),
            'skipped': bool(r.get('skipped', False)),
            'unreachable': False,
            'msg': r.get('msg', ''),
            'last_error': r.get('last_error'),
            'warnings': r.get('warnings', []),
            'items': [{'changed': bool(i.get('changed', False)), 'failed': bool(i.get('failed', False)),
                       'last_error': i.get('last_error'), 'msg': i.get('msg', ''),
                       'warnings': i.get('warnings', [])}
                      for i in r.get('results', []) if isinstance(i, dict)],
        }
        entry.update(flags)
        self.tasks.setdefault(result._task.get_name(), {})[result._host.get_name()] = entry

    def v2_runner_on_ok(self, result):
        self._record(result)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, failed=True)

    def v2_runner_on_skipped(self, result):
        self._record(result, skipped=True)

    def v2_runner_on_unreachable(self, result):
        self._record(result, unreachable=True, failed=True)

    def v2_playbook_on_stats(self, stats):
        with open(os.environ['FLEET_RESULTS'], 'w') as f:
            json.dump(self.tasks, f, indent=1, sort_keys=True)
