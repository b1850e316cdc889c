#!/usr/bin/env python3
"""The calibre plugin and the CBZ's metadata, checked by calibre itself: calibre-customize
installs the plugin, calibredb adds containers and lists what it made of them, ebook-meta
reads a CBZ that kzb convert wrote. Each test has a calibre configuration, a library and a
temporary folder of its own. Where calibre is not installed, the run says so and is skipped.

  calibre_test.py PLUGIN_ZIP SAMPLE KZB [WINDOWS_KZB]
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

SKIPPED = 77  # what CTest is told a skipped run exits with

PLUGIN, SAMPLE, KZB = sys.argv[1:4]
WINDOWS_KZB = sys.argv[4] if len(sys.argv) > 4 else ''

TITLE = '달빛 항해 (Moonlight Voyage)'
WRITER = '김하늘'
PUBLISHER = 'Paper Lantern Press'
GENRE = '소설'
COMMENT = '밤바다를 건너는 작은 배의 이야기. A small boat crosses the night sea.'


def cut_inside_last_file(data):
    """The sample cut 20 bytes before its end, inside the data of its last stored file."""
    return data[:-20]


class Calibre(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix='kzb-calibre-')
        self.addCleanup(shutil.rmtree, self.root)
        self.temp = os.path.join(self.root, 'tmp')  # calibre's temporary folder lives here
        self.library = os.path.join(self.root, 'library')
        runtime = os.path.join(self.root, 'runtime')
        for folder in (self.temp, self.library, os.path.join(self.root, 'config'), runtime):
            os.makedirs(folder, mode=0o700)
        # Qt's runtime folder, which calibre's renderer makes in TMPDIR where none is set, is
        # calibre's, not the plugin's: it goes beside the temporary folder the test watches.
        self.env = dict(os.environ, CALIBRE_CONFIG_DIRECTORY=os.path.join(self.root, 'config'),
                        TMPDIR=self.temp, QT_QPA_PLATFORM='offscreen', LC_ALL='C.UTF-8',
                        XDG_RUNTIME_DIR=runtime)

    def run_calibre(self, *args, env=None):
        done = subprocess.run(args, env=env or self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=300)
        return done.returncode, done.stdout.decode('utf-8', 'replace')

    def install(self, plugin):
        status, output = self.run_calibre('calibre-customize', '-a', plugin)
        self.assertEqual(status, 0, output)
        self.assertIn('Plugin added: KZB container import', output)

    def container(self, name, data):
        path = os.path.join(self.root, name)
        with open(path, 'wb') as f:
            f.write(data)
        return path

    def add(self, path, env=None):
        """Adds one file to a fresh library; what calibredb said, and the book it made."""
        shutil.rmtree(self.library)
        os.makedirs(self.library)
        status, output = self.run_calibre('calibredb', '--library-path', self.library, 'add',
                                          path, env=env)
        self.assertEqual(status, 0, output)
        self.assertEqual(os.listdir(self.temp), [], 'left in the temporary folder')
        status, listed = self.run_calibre(
            'calibredb', '--library-path', self.library, 'list', '--for-machine',
            '--fields', 'title,authors,publisher,tags,formats,comments,pubdate', env=env)
        self.assertEqual(status, 0, listed)
        books = json.loads(listed[listed.index('['):])
        self.assertEqual(len(books), 1, listed)
        return output, books[0]

    def test_added_containers_become_cbz_books_with_their_metadata(self):
        self.install(PLUGIN)
        with open(SAMPLE, 'rb') as f:
            sample = f.read()
        whole = {'title': TITLE, 'authors': WRITER, 'publisher': PUBLISHER, 'tags': [GENRE]}
        cases = [
            # name, bytes, format kept, metadata, what calibre's log must hold
            ('sample.kzb', sample, 'cbz', whole, []),
            ('달빛 항해 book.kzb', sample, 'cbz', whole, []),
            ('cut short.kzb', cut_inside_last_file(sample), 'cbz', whole,
             ["kzb: 표지.svg: container ends inside this file's data",
              'some entries are not in the book (exit status 1)']),
            ('not a container.kzb', b'KZB0' + bytes(range(256)) * 4, 'kzb',
             {'title': 'not a container'},
             ['kzb: ', 'not a container (its first chunk cannot be read)', 'made no book']),
        ]
        for name, data, kept, metadata, said in cases:
            with self.subTest(name):
                output, book = self.add(self.container(name, data))
                for key, value in metadata.items():
                    self.assertEqual(book.get(key), value, key)
                self.assertEqual([os.path.splitext(f)[1] for f in book['formats']],
                                 ['.' + kept])
                for words in said:
                    self.assertIn(words, output)
                if kept == 'cbz':
                    self.assertIn('밤바다를 건너는', book.get('comments', ''))
                    with zipfile.ZipFile(book['formats'][0]) as z:
                        info = z.read('ComicInfo.xml').decode('utf-8')
                    self.assertIn('<Manga>YesAndRightToLeft</Manga>', info)

    def test_ebook_meta_reads_the_metadata_of_converted_books(self):
        # The book kzb writes, and the fields ebook-meta must show of it: a CBZ's
        # ComicBookInfo holds the year and month alone, an EPUB's package the whole date.
        common = [('Title', TITLE), ('Author(s)', WRITER), ('Publisher', PUBLISHER),
                  ('Tags', GENRE), ('Comments', COMMENT)]
        cases = [
            ('cbz', [], common + [('Published', '2026-12')]),
            ('epub', ['--to', 'epub', '--language', 'ko'],
             common + [('Published', '2026-12-08'), ('Languages', 'kor')]),
        ]
        for kind, options, fields in cases:
            with self.subTest(kind):
                work = os.path.join(self.root, kind)
                os.makedirs(work)
                shutil.copy(SAMPLE, work)
                done = subprocess.run([KZB, 'convert'] + options + ['sample.kzb'], cwd=work,
                                      env=self.env)
                self.assertEqual(done.returncode, 0)
                status, output = self.run_calibre('ebook-meta',
                                                  os.path.join(work, 'sample.' + kind))
                self.assertEqual(status, 0, output)
                shown = {}
                for line in output.splitlines():
                    label, _, value = line.partition(':')
                    shown[label.strip()] = value.strip()
                for label, value in fields:
                    self.assertIn(label, shown, output)
                    self.assertTrue(shown[label].startswith(value), (label, output))

    def test_set_to_epub_the_plugin_adds_an_epub_with_the_whole_date(self):
        self.install(PLUGIN)
        status, output = self.run_calibre('calibre-customize', '--customize-plugin',
                                          'KZB container import,epub')
        self.assertEqual(status, 0, output)
        with open(SAMPLE, 'rb') as f:
            sample = f.read()
        output, book = self.add(self.container('sample.kzb', sample))
        self.assertEqual([os.path.splitext(f)[1] for f in book['formats']], ['.epub'], output)
        self.assertEqual(book.get('title'), TITLE)
        self.assertEqual(book.get('authors'), WRITER)
        self.assertTrue(book.get('pubdate', '').startswith('2026-12-08'), book)
        with zipfile.ZipFile(book['formats'][0]) as z:
            package = z.read('EPUB/package.opf').decode('utf-8')
        self.assertIn('page-progression-direction="rtl"', package)
        # Not a container at all: no book is made of it, and calibre keeps the file as it came.
        output, book = self.add(self.container('not a container.kzb',
                                               b'KZB0' + bytes(range(256)) * 4))
        self.assertEqual([os.path.splitext(f)[1] for f in book['formats']], ['.kzb'], output)
        self.assertIn('made no book', output)

    def test_without_a_bundled_kzb_the_plugin_runs_kzb_from_path_or_says_it_has_none(self):
        stripped = os.path.join(self.root, 'plugin-without-programs.zip')
        with zipfile.ZipFile(PLUGIN) as source, zipfile.ZipFile(stripped, 'w') as target:
            for item in source.infolist():
                if not item.filename.startswith('bin/'):
                    target.writestr(item, source.read(item))
        self.install(stripped)
        sample = self.container('sample.kzb', open(SAMPLE, 'rb').read())
        programs = os.path.join(self.root, 'programs')
        os.makedirs(programs)
        calibre = os.path.dirname(shutil.which('calibredb'))
        cases = [
            ('no kzb on PATH', calibre, 'kzb', 'no kzb program for this system'),
            ('kzb on PATH', programs + os.pathsep + calibre, 'cbz', None),
        ]
        shutil.copy(KZB, os.path.join(programs, 'kzb'))
        for what, path, kept, said in cases:
            with self.subTest(what):
                output, book = self.add(sample, env=dict(self.env, PATH=path))
                self.assertEqual([os.path.splitext(f)[1] for f in book['formats']],
                                 ['.' + kept], output)
                if said:
                    self.assertIn(said, output)
                else:
                    self.assertEqual(book['title'], TITLE)

    def test_the_plugin_carries_kzb_for_linux_and_the_windows_build_given(self):
        with zipfile.ZipFile(PLUGIN) as z:
            names = set(z.namelist())
            self.assertIn('__init__.py', names)
            self.assertIn('bin/linux-x86_64/kzb', names)
            if WINDOWS_KZB:
                with open(WINDOWS_KZB, 'rb') as f:
                    self.assertEqual(z.read('bin/windows-x64/kzb.exe'), f.read())
            else:
                self.assertNotIn('bin/windows-x64/kzb.exe', names)


if __name__ == '__main__':
    if not shutil.which('calibredb') or not shutil.which('calibre-customize'):
        print('calibre is not installed (calibredb, calibre-customize): skipped')
        sys.exit(SKIPPED)
    result = unittest.main(argv=sys.argv[:1], exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
