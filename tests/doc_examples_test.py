"""Runs every example shown in README.md and the guides, and checks it prints what the text says.

An example is a ```console block: each line that starts with "$ " is a command, run by bash in
a scratch folder that holds the sample as sample.kzb, with the build's programs first on PATH;
the lines after it, up to the next command or the block's end, are what it must print
(standard output and standard error together, as a terminal shows them). Every command must
exit with 0. The blocks of one document run in order in one folder, so an example may use what
an earlier one left. A document whose examples drift from the programs fails here.

usage: doc_examples_test.py SOURCE_DIR BUILD_DIR
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE, BUILD = sys.argv[1], sys.argv[2]
del sys.argv[1:3]


def examples(path):
    """The (line number, command, expected output) of each example in the document at path."""
    found = []
    in_block = False
    with open(path, encoding='utf-8') as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip('\n')
            if not in_block:
                in_block = line.strip() == '```console'
                continue
            if line.strip() == '```':
                in_block = False
            elif line.startswith('$ '):
                found.append((number, line[2:], []))
            elif found:
                found[-1][2].append(line)
    return found


def documents():
    return [os.path.join(SOURCE, 'README.md')] + sorted(glob.glob(os.path.join(SOURCE, 'doc', '*.md')))


class DocExamples(unittest.TestCase):
    def test_every_document_has_its_examples_run(self):
        # A block typed otherwise would be skipped silently: the README must keep some.
        self.assertGreater(len(examples(os.path.join(SOURCE, 'README.md'))), 5)

    def test_each_example_prints_what_its_document_says(self):
        sample = os.path.join(BUILD, 'sample.kzb')
        self.assertTrue(os.path.exists(sample), 'the build writes sample.kzb (target sample)')
        env = dict(os.environ, LC_ALL='C.UTF-8', TZ='UTC',
                   PATH=BUILD + os.pathsep + os.environ.get('PATH', ''))
        for document in documents():
            runs = examples(document)
            if not runs:
                continue
            with self.subTest(os.path.relpath(document, SOURCE)), \
                    tempfile.TemporaryDirectory() as work:
                shutil.copy(sample, os.path.join(work, 'sample.kzb'))
                for number, command, expected in runs:
                    done = subprocess.run(['bash', '-o', 'pipefail', '-c', command], cwd=work,
                                          env=env, stdout=subprocess.PIPE,
                                          stderr=subprocess.STDOUT)
                    where = '%s:%d: %s' % (os.path.basename(document), number, command)
                    self.assertEqual(done.returncode, 0, where + '\n' + done.stdout.decode())
                    self.assertEqual(done.stdout.decode('utf-8').splitlines(), expected, where)


if __name__ == '__main__':
    unittest.main()
