"""The rendering rules written out in plain Python 2, as a reference that the
native library must match byte for byte on every value the tests generate."""
from types import ClassType, DictType, InstanceType, ListType, ModuleType

DEPTH_MESSAGE = "Max depth reached, change depth argument"


class Oracle(object):
    def __init__(self, symbols):
        self.symbols = symbols
        self.tab = None
        self.maxd = None

    def listaddindex(self, obj):
        return zip(range(len(obj)), obj)

    def dicttolist(self, obj):
        return sorted(obj.items())

    def classtolist(self, obj):
        return [("%s" % obj, obj.__dict__)]

    def objtolist(self, obj):
        own = obj.__dict__
        merged = {}
        for name, class_value in obj.__class__.__dict__.items():
            merged[name] = own[name] if name in own and own[name] else class_value
        return [("%s" % obj, merged)]

    def totree(self, obj, depth=0):
        if depth == self.maxd:
            return DEPTH_MESSAGE
        table = {InstanceType: self.objtolist, ClassType: self.classtolist,
                 ModuleType: self.classtolist, ListType: self.listaddindex,
                 DictType: self.dicttolist}
        if type(obj) not in table:
            return obj
        return [{"name": n, "value": self.totree(v, depth + 1), "type": type(v)}
                for n, v in table[type(obj)](obj)]

    @staticmethod
    def explored(t):
        return t == InstanceType or t == ClassType or t == ListType or t == DictType

    def printtree(self, tree, tab=""):
        if type(tree) != ListType:
            return tree
        prefix = "\n" if tab != "" else ""
        lines = []
        for node in tree:
            name = self.symbols[node["name"]] if node["name"] in self.symbols else node["name"]
            kind = node["type"] if self.explored(node["type"]) else ""
            lines.append("%s%s = %s%s" % (tab, name, kind,
                                          self.printtree(node["value"], tab + self.tab)))
        return prefix + "\n".join(lines)

    def dumptree(self, obj=False, output=True, indent=4, depth=10):
        if not obj:
            return None
        self.tab = " " * indent
        self.maxd = depth
        return self.printtree(self.totree(obj))

    def qz_dumptree(self, obj=False, output=True, indent=4, depth=10):
        res = self.dumptree(["(", obj, ")"], output, indent, depth)
        lines = res.split("\n")
        lines[0] = "("
        lines[-1] = ")"
        del lines[1]
        return "\n".join(lines)
